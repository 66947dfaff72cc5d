# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (POSIX threads variant). Programs are
# linked statically, so that Wine (or Windows) runs them without the compiler's DLLs; ctest runs
# them through $KELPMOOR_WINE (default: wine64, then wine, from PATH or /usr/lib/wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

if(DEFINED ENV{KELPMOOR_WINE})
    set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{KELPMOOR_WINE})
else()
    find_program(KELPMOOR_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(KELPMOOR_WINE)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${KELPMOOR_WINE})
    endif()
endif()
