kv_add_gtest(test_update SOURCES test_update.cpp LIBS kv_config FIXTURES pg TIMEOUT 120)
