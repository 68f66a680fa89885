# What the mingw-w64 toolchains share: Debian's cross compilers for MAILBALE_MINGW_ARCH with the POSIX
# thread model (so that the C++ runtime's threads and locks exist), linked statically, and ctest
# running the test programs with the Wine loader MAILBALE_WINE_LOADER through a wrapper that fails a
# run Wine ended with an unhandled exception.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MAILBALE_MINGW_ARCH})
set(CMAKE_C_COMPILER ${MAILBALE_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${MAILBALE_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${MAILBALE_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MAILBALE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;${MAILBALE_WINE_LOADER})
