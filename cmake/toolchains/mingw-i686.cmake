# 32-bit Windows with mingw-w64: the plug-in's real target, tests run under
# 32-bit wine (Debian's wine32:i386).
set(ORVIK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --wine /usr/lib/wine/wine --prefix ${CMAKE_BINARY_DIR}/wineprefix)
