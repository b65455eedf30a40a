# The tray menu and the plain settings window, offscreen (no tray there).
set(KV_LAUNCHER_XDG ${KV_TEST_ENV_DIR}/xdg-runtime-launcher)
file(MAKE_DIRECTORY ${KV_LAUNCHER_XDG})
file(CHMOD ${KV_LAUNCHER_XDG} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
kv_add_gtest(test_systray SOURCES test_systray.cpp LIBS kv_gui kv_platform_fakes Qt6::Widgets Qt6::Test
             ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KV_LAUNCHER_XDG}")
