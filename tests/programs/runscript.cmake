kv_add_gtest(test_runscript SOURCES test_runscript.cpp LIBS kv_programs)
