# Cross-compiling the Windows program as it ships: 32-bit, with Debian's mingw-w64.
set(MAILBALE_MINGW_ARCH i686)
set(MAILBALE_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
