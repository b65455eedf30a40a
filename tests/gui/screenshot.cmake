# Not a test: the program scripts/screenshots/notice.sh photographs.
add_executable(kv_show_outage_notice ${CMAKE_CURRENT_LIST_DIR}/show_outage_notice.cpp)
target_link_libraries(kv_show_outage_notice PRIVATE kv_gui Qt6::Widgets)
