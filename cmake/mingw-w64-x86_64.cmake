# Cross-builds comlog.exe for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The C and C++ runtimes are linked statically, so the .exe runs on a bare Windows machine.
# Tests run under Wine through cmake/wine-run, each build tree with its own throwaway prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(COMLOG_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which GCC 12's win32 model lacks. Both come
# with Debian's g++-mingw-w64-x86-64.
set(CMAKE_C_COMPILER ${COMLOG_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${COMLOG_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${COMLOG_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${COMLOG_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The cross-built programs run under Wine: CTest, GoogleTest's test discovery and
# add_test(COMMAND <target>) all go through this.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;--prefix;${CMAKE_BINARY_DIR}/wineprefix")
