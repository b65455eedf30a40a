kv_add_gtest(test_errorclasses SOURCES test_errorclasses.cpp LIBS kv_config)
