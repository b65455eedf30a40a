kv_add_gtest(test_managedprograms SOURCES test_managedprograms.cpp
             LIBS kv_programs kv_childhelpers TIMEOUT 120)
