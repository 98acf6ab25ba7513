# Cross-compiling for 64-bit Windows with Debian's mingw-w64. The -posix compilers: the default
# (win32) thread model has no std::mutex or std::thread. Programs and tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELMOR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELMOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMOR_MINGW_TRIPLET}-windres)

# Libraries and headers (zlib from libz-mingw-w64-dev) come from the mingw tree only; programs that
# run during the build come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELMOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VELMOR_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VELMOR_WINE}")
