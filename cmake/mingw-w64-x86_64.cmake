# 64-bit Windows: MinGW-w64 for x86_64; programs run under Wine's 64-bit
# loader (/usr/bin/wine prefers the 32-bit one whenever it is installed).
# The same code and tests as the 32-bit build, for machines whose kernel
# cannot execute 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OV_MINGW_TRIPLE x86_64-w64-mingw32)
set(OV_WINE_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
