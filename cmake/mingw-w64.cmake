# Cross-compiles the Windows build with Debian's mingw-w64 (posix thread model): x86-64 unless
# a toolchain file that includes this one chose another processor first.
if(NOT DEFINED SKF_MINGW_CPU)
    set(SKF_MINGW_CPU x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SKF_MINGW_CPU})
set(CMAKE_C_COMPILER ${SKF_MINGW_CPU}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKF_MINGW_CPU}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SKF_MINGW_CPU}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SKF_MINGW_CPU}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
