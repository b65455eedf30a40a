kv_add_bench(bench_powercut SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_powercut.cpp
             LIBS kv_launcher kv_testsupport)
