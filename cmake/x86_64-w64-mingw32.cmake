# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-x86-64). Programs are linked statically, so that the .exe
# files need no DLL of the toolchain; tests run them under Wine (wine64),
# which CMake uses as the emulator of cross-compiled programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FAT16_MINGW_PREFIX x86_64-w64-mingw32)
# The compilers of the POSIX thread model: GoogleTest needs std::mutex,
# which those of the win32 model (GCC 12) lack.
set(CMAKE_C_COMPILER ${FAT16_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FAT16_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FAT16_MINGW_PREFIX}-windres)
set(CMAKE_AR ${FAT16_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${FAT16_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${FAT16_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes of the toolchain go into each program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Debian's wine64 package puts the loader in /usr/lib/wine; other systems
# have wine64 or wine on PATH. Without it the programs still build; the
# tests that run them then cannot start.
find_program(FAT16_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(FAT16_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FAT16_WINE})
endif()
