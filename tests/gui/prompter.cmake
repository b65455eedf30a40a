# Widgets tests run offscreen, with a runtime directory of their own so Qt
# leaves nothing in /tmp.
set(KV_XDG_RUNTIME_DIR ${KV_TEST_ENV_DIR}/xdg-runtime)
file(MAKE_DIRECTORY ${KV_XDG_RUNTIME_DIR})
file(CHMOD ${KV_XDG_RUNTIME_DIR} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(KV_GUI_TEST_ENV "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KV_XDG_RUNTIME_DIR}")

kv_add_gtest(test_qtprompter SOURCES test_qtprompter.cpp LIBS kv_gui Qt6::Widgets
             ENVIRONMENT "${KV_GUI_TEST_ENV}")
