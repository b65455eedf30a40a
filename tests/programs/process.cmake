kv_add_gtest(test_clsProcess SOURCES test_clsProcess.cpp
             LIBS kv_programs kv_childhelpers TIMEOUT 180)
kv_add_gtest(test_processLookup SOURCES test_processLookup.cpp
             LIBS kv_programs kv_platform_fakes kv_childhelpers TIMEOUT 120)
