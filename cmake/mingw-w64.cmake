# Cross-compiles for 64-bit Windows with Debian's mingw-w64, posix thread model (the
# C++ runtime's std::thread and std::mutex need it). Used by scripts/test-windows.sh:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ACDC_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ACDC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ACDC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ACDC_MINGW_PREFIX}-windres)
set(CMAKE_AR ${ACDC_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${ACDC_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Headers and libraries come from the Windows sysroot and from the folders the build
# adds (the Lua and libcrypto it builds); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ACDC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
