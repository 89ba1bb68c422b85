# Compile and link settings shared by the tool and the test programs built
# with it, so that the tests exercise the same runtime the tool ships with.

# Debian's mingw-w64 links msvcrt by default; a copy of its specs with
# -lmsvcrt swapped for -lucrt links the Universal C Runtime instead.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE default_specs
                COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "-lmsvcrt" "-lucrt" ucrt_specs "${default_specs}")
file(WRITE ${CMAKE_BINARY_DIR}/ucrt.specs "${ucrt_specs}")

# The start-up object that asks the runtime to expand wildcards in arguments.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=CRT_glob.o
                OUTPUT_VARIABLE crt_glob OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS "${crt_glob}")
  message(FATAL_ERROR "CRT_glob.o not found: apt-get install mingw-w64-x86-64-dev")
endif()

function(morvane_windows_flags target)
  target_compile_definitions(${target} PRIVATE _UCRT UNICODE _UNICODE)
  target_compile_options(${target} PRIVATE
    -municode -Wall -Wextra -Werror -fno-exceptions -fno-rtti
    # No build directory may leak into the binary, so that builds reproduce.
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
endfunction()

# Links against the Universal C Runtime with everything that is not a system
# DLL (libgcc, libstdc++) linked in, so the module runs on a stock Windows.
function(morvane_windows_link target)
  target_link_options(${target} PRIVATE
    -specs=${CMAKE_BINARY_DIR}/ucrt.specs -static
    # No link time in the header, so two builds of one commit are identical.
    -Wl,--no-insert-timestamp)
endfunction()

# A program: the above, the wide start-up that expands wildcards, and the
# terminal-server-aware mark that Windows' own linker sets on every program.
# Programs added with WIN32 get the GUI subsystem and wWinMain.
function(morvane_windows_program target)
  morvane_windows_link(${target})
  target_link_options(${target} PRIVATE -municode -Wl,--tsaware)
  target_link_libraries(${target} PRIVATE ${crt_glob})
endfunction()
