# The real executable in a temporary application directory, under Xvfb with
# a tray host, against the test cluster and the private print server.
kv_add_gtest(test_launcher_e2e SOURCES test_launcher_e2e.cpp xsession.cpp LIBS Qt6::Core
             FIXTURES pg cups TIMEOUT 300)
add_dependencies(test_launcher_e2e korvantis-launcher)
target_compile_definitions(test_launcher_e2e PRIVATE KV_LAUNCHER_EXE="$<TARGET_FILE:korvantis-launcher>")
