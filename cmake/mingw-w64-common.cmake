# What the two mingw-w64 toolchain files share; they set ZUV_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first. Debian's g++-mingw-w64-x86-64-posix and
# g++-mingw-w64-i686-posix install the compilers, binutils (dlltool, objdump)
# and the Windows headers and import libraries under /usr/${ZUV_MINGW_TRIPLET}.
set(CMAKE_SYSTEM_NAME Windows)
# The compilers of the posix thread model: with the win32 one, GCC 12's
# libstdc++ has no std::mutex, which the simulated driver uses. The programs
# link their runtime statically (-static), winpthread included.
set(CMAKE_C_COMPILER ${ZUV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUV_MINGW_TRIPLET}-windres)

# Libraries, headers and packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZUV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
