# 32-bit Windows target, the specified deliverable.
set(BM_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
