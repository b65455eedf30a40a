# The "cups" fixture: a private cupsd whose raw queues print to test printers
# (kv_testprinter) that record every byte. Any test folder can require it
# (kv_add_gtest(... FIXTURES cups)); tests reach it through CUPS_SERVER and
# tests/support/testprinter.h (queues, bytes received since a mark).
add_executable(kv_testprinter testprinter.cpp)

add_test(NAME fixture_cups_setup
         COMMAND ${PROJECT_SOURCE_DIR}/tests/harness/cupsctl.sh setup ${KV_TEST_ENV_DIR}
                 $<TARGET_FILE:kv_testprinter>)
add_test(NAME fixture_cups_teardown
         COMMAND ${PROJECT_SOURCE_DIR}/tests/harness/cupsctl.sh teardown ${KV_TEST_ENV_DIR})
set_tests_properties(fixture_cups_setup PROPERTIES FIXTURES_SETUP cups TIMEOUT 60)
set_tests_properties(fixture_cups_teardown PROPERTIES FIXTURES_CLEANUP cups TIMEOUT 60)
