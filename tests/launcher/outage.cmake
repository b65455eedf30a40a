# The running launcher against a frozen test cluster.
kv_add_gtest(test_outage SOURCES test_outage.cpp LIBS kv_launcher kv_platform_fakes FIXTURES pg TIMEOUT 120)
target_include_directories(test_outage PRIVATE ${PROJECT_SOURCE_DIR}/tests/config)
