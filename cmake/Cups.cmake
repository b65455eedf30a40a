# libcups ships no pkg-config file; cups-config is its own answer.
find_program(CUPS_CONFIG cups-config REQUIRED)
execute_process(COMMAND ${CUPS_CONFIG} --cflags OUTPUT_VARIABLE _cups_cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CUPS_CONFIG} --libs OUTPUT_VARIABLE _cups_libs OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(_cups_cflags UNIX_COMMAND "${_cups_cflags}")
separate_arguments(_cups_libs UNIX_COMMAND "${_cups_libs}")
add_library(Cups::Cups INTERFACE IMPORTED)
target_compile_options(Cups::Cups INTERFACE ${_cups_cflags})
target_link_libraries(Cups::Cups INTERFACE ${_cups_libs})
