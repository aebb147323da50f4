# Cross build for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(ZUV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Wine (Debian's wine and wine64), when installed, runs the programs of the
# tests; without it the build has no tests that run the program.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ZUV_WINE wine)
  if(ZUV_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUV_WINE})
  endif()
endif()
