# Start-up, the tick and the loop against fakes of everything outside.
kv_add_gtest(test_vbmain SOURCES test_vbmain.cpp LIBS kv_launcher kv_platform_fakes)
