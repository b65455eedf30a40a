kv_add_gtest(test_form1 SOURCES test_form1.cpp
             LIBS kv_programs kv_childhelpers FIXTURES pg TIMEOUT 180)
