kv_add_gtest(test_loadmanagedprograms SOURCES test_loadmanagedprograms.cpp
             LIBS kv_programs kv_childhelpers FIXTURES pg TIMEOUT 120)
