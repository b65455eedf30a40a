kv_add_gtest(test_odbc_open SOURCES test_odbc_open.cpp LIBS kv_config TIMEOUT 60)
