kv_add_gtest(test_detached SOURCES test_detached.cpp LIBS kv_platform)
