kv_add_gtest(test_vbdraldb SOURCES test_vbdraldb.cpp LIBS kv_config FIXTURES pg TIMEOUT 60)
