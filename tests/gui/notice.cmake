# Offscreen, with Qt's runtime directory in the build tree (as the prompter's).
kv_add_gtest(test_noticewindows SOURCES test_noticewindows.cpp LIBS kv_gui Qt6::Widgets
             ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KV_TEST_ENV_DIR}/xdg-runtime")
