kv_add_gtest(test_watchdog SOURCES test_watchdog.cpp LIBS kv_config kv_programs kv_platform_fakes
             FIXTURES pg TIMEOUT 180)
