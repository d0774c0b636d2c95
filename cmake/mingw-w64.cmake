# Cross build for 64-bit Windows with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KELO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${KELO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every executable built here (tests included) runs under Wine in a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run-in-prefix.sh)
