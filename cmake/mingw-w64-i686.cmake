# Cross-compiles the 32-bit Windows build (i686) with Debian's mingw-w64.
set(SKF_MINGW_CPU i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
