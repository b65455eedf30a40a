# Not tests: the windows scripts/screenshots photographs for the docs.
add_executable(kv_show_outage_notice ${CMAKE_CURRENT_LIST_DIR}/show_outage_notice.cpp)
target_link_libraries(kv_show_outage_notice PRIVATE kv_gui Qt6::Widgets)
add_executable(shot_settings_dialog ${CMAKE_CURRENT_LIST_DIR}/shot_settings_dialog.cpp)
target_link_libraries(shot_settings_dialog PRIVATE kv_gui)
add_executable(kv_form1_screenshot ${CMAKE_CURRENT_LIST_DIR}/form1_screenshot.cpp)
target_link_libraries(kv_form1_screenshot PRIVATE kv_gui kv_childhelpers kv_testsupport)
target_include_directories(kv_form1_screenshot PRIVATE ${PROJECT_SOURCE_DIR}/tests/programs)
set_target_properties(kv_show_outage_notice shot_settings_dialog kv_form1_screenshot PROPERTIES
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/screenshots)
