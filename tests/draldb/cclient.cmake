# A C program that loads the library with dlopen and declares its prototypes
# itself; it must not link the library.
add_executable(draldb_c_client c_client.c)
target_link_libraries(draldb_c_client PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(draldb_c_client draldb)
add_test(NAME draldb_c_client COMMAND draldb_c_client $<TARGET_FILE:draldb> ${KV_TEST_ENV_DIR}/pg.env)
set_tests_properties(draldb_c_client PROPERTIES FIXTURES_REQUIRED pg RESOURCE_LOCK pg TIMEOUT 60)

add_test(NAME draldb_exports COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:draldb>)
