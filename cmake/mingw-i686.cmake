# The 32-bit Windows programs, as they ship.
set(MELVIX_MINGW_TRIPLE i686-w64-mingw32)
set(MELVIX_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
