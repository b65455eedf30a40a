kv_add_gtest(test_qtprompter SOURCES test_qtprompter.cpp LIBS kv_gui Qt6::Widgets
             ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
