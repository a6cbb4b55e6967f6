# 32-bit Windows with mingw-w64: the plug-in's real target. Built and linked
# only; wine64 cannot run 32-bit programs without a 32-bit wine.
set(ORVIK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
