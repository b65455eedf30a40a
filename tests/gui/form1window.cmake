# Files here are included in name order: this one may come before the file
# that sets the shared offscreen environment, so it names its own.
set(_kv_form1_runtime ${KV_TEST_ENV_DIR}/xdg-runtime-form1)
file(MAKE_DIRECTORY ${_kv_form1_runtime})
file(CHMOD ${_kv_form1_runtime} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
kv_add_gtest(test_form1window SOURCES test_form1window.cpp
             LIBS kv_gui kv_childhelpers Qt6::Widgets Qt6::Test FIXTURES pg TIMEOUT 120
             ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${_kv_form1_runtime}")
target_include_directories(test_form1window PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../programs)

# Not a test: the program scripts/screenshot-program-manager photographs.
add_executable(kv_form1_screenshot form1_screenshot.cpp)
target_link_libraries(kv_form1_screenshot PRIVATE kv_gui kv_childhelpers kv_testsupport Qt6::Widgets)
target_include_directories(kv_form1_screenshot PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../programs)
