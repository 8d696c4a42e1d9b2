# Cross build for i686 Windows with Debian's mingw-w64 (posix thread model,
# so std::thread and std::mutex work; libwinpthread is linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KV_MINGW_TRIPLET i686-w64-mingw32)
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

# No emulator: 32-bit Wine (wine32) cannot be installed next to Debian's
# 64-bit Wine here, so i686 programs are built and linked but never run.
