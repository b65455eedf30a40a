kv_add_gtest(test_odbc SOURCES test_odbc.cpp LIBS kv_config FIXTURES pg TIMEOUT 120)
kv_add_gtest(test_vbdatabase SOURCES test_vbdatabase.cpp LIBS kv_config FIXTURES pg TIMEOUT 120)
