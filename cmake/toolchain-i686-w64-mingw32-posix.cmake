# Cross toolchain for the 32-bit test build: the suites and the driver that run
# the deliverables under 32-bit Wine. The posix thread model, since GoogleTest
# needs std::mutex; the deliverables themselves keep the win32 model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KRN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KRN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KRN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KRN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
