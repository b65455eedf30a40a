# The POS queue with a station id that is not a whole number: the real
# client library and cluster, a recording spooler in the printer's place.
kv_add_gtest(test_posqueue_stationid SOURCES test_posqueue_stationid.cpp LIBS kv_escpos kv_platform_fakes
             FIXTURES pg TIMEOUT 120)
target_include_directories(test_posqueue_stationid PRIVATE ${PROJECT_SOURCE_DIR}/tests/draldb)
