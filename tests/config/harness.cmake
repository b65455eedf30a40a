kv_add_gtest(test_odbc_harness SOURCES test_odbc_harness.cpp LIBS PkgConfig::ODBC FIXTURES pg)
