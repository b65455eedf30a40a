# The settings dialog's window offscreen; its load tests the connection, so
# it needs the test cluster.
kv_add_gtest(test_frmconfig_widgets SOURCES test_frmconfig_widgets.cpp LIBS kv_gui kv_platform_fakes Qt6::Widgets
             FIXTURES pg ENVIRONMENT "${KV_GUI_TEST_ENV};LC_ALL=C.UTF-8")

