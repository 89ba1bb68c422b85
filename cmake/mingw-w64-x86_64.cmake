# Cross-compiles for 64-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The win32-thread variant: the posix one would drag in libwinpthread.
find_program(MINGW_CXX NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++)
find_program(MINGW_CC NAMES x86_64-w64-mingw32-gcc-win32 x86_64-w64-mingw32-gcc)
find_program(MINGW_OBJCOPY NAMES x86_64-w64-mingw32-objcopy)
if(NOT MINGW_CXX OR NOT MINGW_CC OR NOT MINGW_OBJCOPY)
  message(FATAL_ERROR "mingw-w64 not found: apt-get install g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64")
endif()
set(CMAKE_C_COMPILER ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
