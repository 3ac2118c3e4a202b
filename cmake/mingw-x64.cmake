# 64-bit Windows module, built so that it can be exercised under Wine on 64-bit-only machines.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAPEDECK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
