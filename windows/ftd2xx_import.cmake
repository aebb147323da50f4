# The import library that binds a program at load time to the vendor's
# ftd2xx.dll, made at build time from the project's own windows/ftd2xx.def:
# with dlltool for mingw-w64, with lib for MSVC. It imports the seven functions
# by their undecorated names, as the vendor's DLL exports them.
#
# Defines the target ftd2xx_import, which makes the library, and
# zuv_link_ftd2xx_import(TARGET), which links a target to it by its full path
# (mingw's -static would pass over a *.dll.a named with -l).

set(_ftd2xx_import_dir ${PROJECT_BINARY_DIR}/ftd2xx-import)
set(_ftd2xx_def_source ${CMAKE_CURRENT_LIST_DIR}/ftd2xx.def)

# The listing carries the 32-bit stdcall argument sizes (FT_OpenEx@12); 64-bit
# names have none, so there the sizes are dropped before the library is made.
file(READ ${_ftd2xx_def_source} _ftd2xx_def)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  string(REGEX REPLACE "@[0-9]+" "" _ftd2xx_def "${_ftd2xx_def}")
endif()
set(_ftd2xx_def_used ${_ftd2xx_import_dir}/ftd2xx.def)
# Written through configure_file, which leaves an unchanged file untouched.
file(WRITE ${_ftd2xx_def_used}.new "${_ftd2xx_def}")
configure_file(${_ftd2xx_def_used}.new ${_ftd2xx_def_used} COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_ftd2xx_def_source})

if(MSVC)
  set(ZUV_FTD2XX_IMPORT_LIBRARY ${_ftd2xx_import_dir}/ftd2xx.lib)
  if(MSVC_CXX_ARCHITECTURE_ID MATCHES "^(X86|x64|ARM64)$")
    string(TOUPPER ${MSVC_CXX_ARCHITECTURE_ID} _ftd2xx_machine)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_ftd2xx_machine X86)
  else()
    set(_ftd2xx_machine X64)
  endif()
  # CMake finds MSVC's lib.exe as the archiver.
  add_custom_command(
    OUTPUT ${ZUV_FTD2XX_IMPORT_LIBRARY}
    COMMAND ${CMAKE_AR} /nologo /def:${_ftd2xx_def_used} /machine:${_ftd2xx_machine}
            /out:${ZUV_FTD2XX_IMPORT_LIBRARY}
    DEPENDS ${_ftd2xx_def_used}
    COMMENT "Making the import library of ftd2xx.dll"
    VERBATIM)
else()
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dlltool is needed to make the import library of ftd2xx.dll")
  endif()
  set(ZUV_FTD2XX_IMPORT_LIBRARY ${_ftd2xx_import_dir}/libftd2xx.dll.a)
  # -k (--kill-at): import FT_OpenEx, not FT_OpenEx@12.
  add_custom_command(
    OUTPUT ${ZUV_FTD2XX_IMPORT_LIBRARY}
    COMMAND ${CMAKE_DLLTOOL} -k -d ${_ftd2xx_def_used}
            -l ${ZUV_FTD2XX_IMPORT_LIBRARY}
    DEPENDS ${_ftd2xx_def_used}
    COMMENT "Making the import library of ftd2xx.dll"
    VERBATIM)
endif()
add_custom_target(ftd2xx_import DEPENDS ${ZUV_FTD2XX_IMPORT_LIBRARY})

function(zuv_link_ftd2xx_import target)
  target_link_libraries(${target} PRIVATE "${ZUV_FTD2XX_IMPORT_LIBRARY}")
  add_dependencies(${target} ftd2xx_import)
endfunction()
