# The programs ship as 32-bit executables; this build runs the same sources under 64-bit Wine where
# 32-bit Wine cannot be installed, and keeps them 64-bit clean.
set(MELVIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(MELVIX_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
