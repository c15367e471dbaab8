# 32-bit Windows, the shipped OVDELETE.dll: MinGW-w64 for i686; programs
# run under Wine (/usr/bin/wine, which picks Wine's 32-bit loader).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(OV_MINGW_TRIPLE i686-w64-mingw32)
set(OV_WINE_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
