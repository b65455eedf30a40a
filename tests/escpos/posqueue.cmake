# One pass over the POS queue: against the fake library and recording spooler,
# then from the test cluster through the client library and the private print
# server to the test printer.
kv_add_gtest(test_posqueue SOURCES test_posqueue.cpp LIBS kv_escpos kv_platform_fakes)
kv_add_gtest(test_posqueue_cups SOURCES test_posqueue_cups.cpp LIBS kv_launcher FIXTURES pg cups TIMEOUT 180)
target_include_directories(test_posqueue_cups PRIVATE ${PROJECT_SOURCE_DIR}/tests/draldb)
