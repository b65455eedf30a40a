kv_add_bench(bench_posqueue SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_posqueue.cpp
             LIBS kv_escpos kv_testsupport PkgConfig::LIBPQ)
