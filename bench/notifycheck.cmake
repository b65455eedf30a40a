kv_add_bench(bench_notifycheck SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_notifycheck.cpp
             LIBS draldb kv_testsupport)
