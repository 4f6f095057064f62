# Cross-compiling for 64-bit Windows with MinGW-w64 on Debian (the -posix thread model, whose
# libstdc++ has std::thread and std::jthread). Libraries and headers come from the MinGW
# sysroot only; the few header-only Linux packages the build uses are added one by one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe each: no libgcc, libstdc++ or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The static zlib (libz.a) rather than its import library.
set(ZLIB_USE_STATIC_LIBS ON)

# Test programs and ctest run under Wine.
find_program(VT_WINE wine)
if(VT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VT_WINE})
endif()
