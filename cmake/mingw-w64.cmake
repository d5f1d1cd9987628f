# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
# Boost is header-only here and comes from the build machine's /usr/include,
# searched after the target's own headers so that no Linux system header
# shadows a mingw one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MDL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MDL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MDL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MDL_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MDL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Unit tests run under Wine; scripts/wine-run gives each run its prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
