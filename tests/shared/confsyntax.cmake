kv_add_gtest(test_confsyntax SOURCES test_confsyntax.cpp LIBS kv_shared)
