kv_add_gtest(test_watchdog SOURCES test_watchdog.cpp LIBS kv_config kv_programs kv_childhelpers
             FIXTURES pg TIMEOUT 180)
