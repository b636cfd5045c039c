# Cross build for Windows with Debian's MinGW-w64 (i686, posix threads).
set(TARNLINK_MINGW i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
