# Cross toolchain for the 64-bit test twin, which runs under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KRN_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${KRN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KRN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KRN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
