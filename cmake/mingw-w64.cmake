# Windows executables from Debian's MinGW-w64 cross compiler, with POSIX
# threads (std::thread) and linked statically: a program is one .exe, with
# no MinGW DLL to carry along. The tests run under Wine when it is there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KDT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KDT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KDT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KDT_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KDT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(KDT_WINE wine)
if(KDT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KDT_WINE})
endif()
