# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, so std::thread and std::mutex work), run under Wine:
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
#
# Programs and DLLs link libgcc, libstdc++ and winpthread statically, so
# they need no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KPXADAC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KPXADAC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KPXADAC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KPXADAC_MINGW_TRIPLE}-windres)

# Libraries, headers and CMake packages come from the target's root only;
# programs (the compilers' helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KPXADAC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Header-only packages of the build machine, seen through directories that
# hold nothing else (its /usr/include would shadow the Windows headers).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/nlohmann_json)
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/CLI11)
# cpp-httplib's single header, from Debian's source package (cross/httplib).
set(httplib_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/httplib)

# Test programs run under Wine, where it is installed.
find_program(KPXADAC_WINE NAMES wine wine64)
if(KPXADAC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KPXADAC_WINE})
endif()
