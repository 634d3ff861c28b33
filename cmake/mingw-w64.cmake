# Cross-builds the Windows programs with Debian's mingw-w64 (64-bit, POSIX
# threads flavour), linked statically so that the .exe files need nothing
# but Windows itself. Tests run under wine when it is there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
find_program(KORV_WINE NAMES wine wine64)
if(KORV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORV_WINE})
endif()
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
