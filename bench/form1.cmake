kv_add_bench(bench_form1 SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_form1.cpp
             LIBS kv_gui kv_childhelpers kv_testsupport Qt6::Widgets Qt6::Test)
target_include_directories(bench_form1 PRIVATE ${CMAKE_SOURCE_DIR}/tests/programs)
