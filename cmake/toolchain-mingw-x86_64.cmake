# Cross build for x86_64 Windows with Debian's mingw-w64 (posix thread model,
# so std::thread and std::mutex work; libwinpthread is linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KV_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw sysroot only, never from the
# host's /usr/include or /usr/lib; programs (code generators) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest (and add_test of an executable target) runs the programs under Wine,
# in a Wine prefix that belongs to this build tree.
get_filename_component(KV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${KV_SOURCE_ROOT}/scripts/wine-run.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix)
