kv_add_gtest(test_core_helpers SOURCES test_helpers.cpp test_textconv.cpp LIBS kv_core)
