kv_add_bench(bench_idle SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_idle.cpp LIBS kv_testsupport Qt6::Core)
add_dependencies(bench_idle korvantis-launcher)
target_compile_definitions(bench_idle PRIVATE KV_LAUNCHER_EXE="$<TARGET_FILE:korvantis-launcher>"
                           KV_DATABASE_SQL="${PROJECT_SOURCE_DIR}/packaging/database.sql")
