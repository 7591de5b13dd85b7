# Cross compilation for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S <project> -B <build> -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kestrel_mingw x86_64-w64-mingw32)
# The "-posix" variant has std::thread; prefer it when installed.
find_program(CMAKE_CXX_COMPILER NAMES ${_kestrel_mingw}-g++-posix ${_kestrel_mingw}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${_kestrel_mingw}-gcc-posix ${_kestrel_mingw}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${_kestrel_mingw}-windres REQUIRED)

# Libraries built for Windows elsewhere come in through -DCMAKE_FIND_ROOT_PATH=<their prefix>.
# Read again by every check's own project, so added only once.
list(FIND CMAKE_FIND_ROOT_PATH /usr/${_kestrel_mingw} _kestrel_index)
if(_kestrel_index EQUAL -1)
  list(APPEND CMAKE_FIND_ROOT_PATH /usr/${_kestrel_mingw})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
