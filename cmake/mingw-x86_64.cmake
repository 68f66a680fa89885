# Cross-compiling the Windows program and its tests for x86_64 with Debian's mingw-w64. This is a
# test build: it runs the Windows tests under 64-bit Wine on machines whose kernels run no 32-bit
# program. The program that ships is the 32-bit one (mingw-i686.cmake).
set(MAILBALE_MINGW_ARCH x86_64)
set(MAILBALE_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
