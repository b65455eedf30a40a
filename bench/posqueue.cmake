kv_add_bench(bench_posqueue SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_posqueue.cpp
             LIBS kv_escpos kv_launcher kv_platform_fakes kv_testsupport PkgConfig::LIBPQ)
target_include_directories(bench_posqueue PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)
