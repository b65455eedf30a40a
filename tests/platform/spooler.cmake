# The CUPS spooler against the private print server and its test printers.
kv_add_gtest(test_cupsspooler SOURCES spooler_test_cups.cpp LIBS kv_platform FIXTURES cups TIMEOUT 120)
