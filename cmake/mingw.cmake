# Cross-building the Windows programs with MinGW-w64, for the target that the including file names
# in MELVIX_MINGW_TRIPLE and MELVIX_MINGW_PROCESSOR (Debian's g++-mingw-w64-*-posix: the posix
# thread model gives std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MELVIX_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${MELVIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MELVIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MELVIX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MELVIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
