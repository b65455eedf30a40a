kv_add_bench(bench_paper SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_paper.cpp
             LIBS kv_launcher kv_testsupport)
