kv_add_bench(bench_chain SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_chain.cpp
             LIBS kv_escpos kv_config kv_testsupport PkgConfig::LIBPQ)
target_include_directories(bench_chain PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
