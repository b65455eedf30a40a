kv_add_bench(bench_chain SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_chain.cpp
             LIBS kv_launcher kv_escpos kv_config kv_testsupport PkgConfig::LIBPQ)
target_include_directories(bench_chain PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
# The routed runs install the trigger a shop installs, from the file it gets.
target_compile_definitions(bench_chain PRIVATE KV_NOTIFY_BY_STATION_SQL="${PROJECT_SOURCE_DIR}/docs/notify-by-station.sql"
                           KV_DATABASE_SQL="${PROJECT_SOURCE_DIR}/packaging/database.sql")
