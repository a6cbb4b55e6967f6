# 64-bit Windows with mingw-w64, tests run under wine64.
set(ORVIK_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# ctest runs each test program through wine64, with a wine prefix of the
# build folder's own (created on first use, without any dialog).
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --wine /usr/lib/wine/wine64 --prefix ${CMAKE_BINARY_DIR}/wineprefix)
