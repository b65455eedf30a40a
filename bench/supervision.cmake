kv_add_bench(bench_supervision SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_supervision.cpp
             LIBS kv_programs kv_childhelpers kv_testsupport)
