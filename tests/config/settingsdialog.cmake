# The settings dialog's rules against the test cluster and the private print
# server; the station id is parsed in a fixed locale here.
kv_add_gtest(test_frmconfig SOURCES test_frmconfig.cpp LIBS kv_config kv_platform_fakes FIXTURES pg cups TIMEOUT 180
             ENVIRONMENT "LC_ALL=C.UTF-8")
