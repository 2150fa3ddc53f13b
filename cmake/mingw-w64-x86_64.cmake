# Cross-compiling for 64-bit Windows with MinGW-w64 (posix threads, for std::thread).
# The executables link their runtime statically, so they run on a bare Windows 10/11, and run
# here under Wine through the emulator wrapper (gtest discovery and ctest use it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows 7 and later APIs; wide-character Win32 names by default.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE")

# Windows programs run under Wine in a prefix of this build folder (made on first use).
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")

# Header-only libraries of the build machine that the Windows build may use.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
set(httplib_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
