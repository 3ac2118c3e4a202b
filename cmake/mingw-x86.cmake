# 32-bit Windows module, the one the host loads.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAPEDECK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
