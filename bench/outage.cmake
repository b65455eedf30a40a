kv_add_bench(bench_outage SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_outage.cpp
             LIBS kv_launcher kv_gui kv_platform_fakes kv_testsupport)
target_include_directories(bench_outage PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)
