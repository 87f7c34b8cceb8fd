# Cross-builds the Windows programs with Debian's mingw-w64 (the POSIX thread model, for
# std::thread), linked statically so that an .exe needs nothing beside it. The tests run under
# wine64 through scripts/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LARKPOST_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LARKPOST_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LARKPOST_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${LARKPOST_MINGW}-windres)
set(CMAKE_MC_COMPILER ${LARKPOST_MINGW}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${LARKPOST_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The C99 printf of mingw-w64 (%zu, %ju), not msvcrt's. The compiler checks formats against
# msvcrt's, which would flag every DWORD (an unsigned long here) given to %u: the Linux build
# checks the formats.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -Wno-format")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
