# The channel and its commands against the recording spooler, then through
# the private print server to the test printer.
kv_add_gtest(test_vbescpos SOURCES test_vbescpos.cpp LIBS kv_escpos kv_platform_fakes)
kv_add_gtest(test_vbescpos_cups SOURCES test_vbescpos_cups.cpp LIBS kv_escpos FIXTURES cups TIMEOUT 120)
