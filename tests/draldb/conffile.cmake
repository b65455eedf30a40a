kv_add_gtest(test_draldb_conffile SOURCES test_draldb_conffile.cpp draldbtest.h LIBS draldb Qt6::Core
             FIXTURES pg TIMEOUT 60)
