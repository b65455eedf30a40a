kv_add_gtest(test_vbconfig SOURCES test_vbconfig.cpp LIBS kv_config)
