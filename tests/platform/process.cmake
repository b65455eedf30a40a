kv_add_gtest(test_process_platform SOURCES test_process_platform.cpp
             LIBS kv_platform kv_childhelpers TIMEOUT 120)
