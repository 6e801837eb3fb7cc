# Cross toolchain: 32-bit Windows programs with Debian's MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(MINGW_OBJDUMP i686-w64-mingw32-objdump)
# SSE2 arithmetic rounds every double operation to double, as the x86_64 build does; the x87
# default would keep 80-bit intermediates and change the letter-pair score in its last bits.
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
