kv_add_gtest(test_draldb SOURCES test_draldb.cpp draldbtest.h LIBS draldb Qt6::Core FIXTURES pg TIMEOUT 120)
kv_add_gtest(test_draldb_outage SOURCES test_draldb_outage.cpp draldbtest.h LIBS draldb Qt6::Core FIXTURES pg TIMEOUT 180)
