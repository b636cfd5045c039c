# What both MinGW-w64 cross builds share; the arch files set TARNLINK_MINGW
# (the triplet) and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARNLINK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW}-windres)
set(CMAKE_DLLTOOL ${TARNLINK_MINGW}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C and C++ runtimes and winpthreads go into each binary: the DLLs and
# the programs need nothing beside them but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
