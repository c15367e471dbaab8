# The part of the MinGW-w64 toolchain files that the two targets share.
# The including file sets OV_MINGW_TRIPLE and OV_WINE_NAME first.  The
# compilers are those of the posix thread model: GoogleTest needs
# std::thread and std::mutex, which the win32 model's lack.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${OV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OV_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs run under Wine; wine-run.sh gives every run the build's own
# prefix with its server already started.
find_program(OV_WINE NAMES ${OV_WINE_NAME} PATHS /usr/lib/wine /usr/lib64/wine)
if(OV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${OV_WINE})
endif()
