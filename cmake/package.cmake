# Installation and packages: the header, the library, the tools and the sample log configuration
# (as documentation), the tools' manual pages, the Wireshark dissector; a CMake package exporting
# ORMA_DLL::ORMA_DLL and the pkg-config module of the same name, ORMA_DLL; and, through CPack, a
# ZIP archive for Windows users (tools/package.sh).
include(CMakePackageConfigHelpers)

# The header's version macros and the project's version are one version.
foreach(part MAJOR MINOR PATCH)
  file(STRINGS ${PROJECT_SOURCE_DIR}/include/ORMA_DLL.h line REGEX "^#define ORMA_DLL_VERSION_${part} ")
  string(REGEX REPLACE "^.* ([0-9]+)$" "\\1" value "${line}")
  if(NOT value STREQUAL PROJECT_VERSION_${part})
    message(FATAL_ERROR "include/ORMA_DLL.h: ORMA_DLL_VERSION_${part} is '${value}', the project's is ${PROJECT_VERSION_${part}}")
  endif()
endforeach()
file(STRINGS ${PROJECT_SOURCE_DIR}/include/ORMA_DLL.h line REGEX "^#define ORMA_DLL_VERSION_STRING ")
if(NOT line MATCHES "\"${PROJECT_VERSION}\"$")
  message(FATAL_ERROR "include/ORMA_DLL.h: ORMA_DLL_VERSION_STRING does not say \"${PROJECT_VERSION}\"")
endif()

if(WIN32)
  # The archive's top folder holds the README, the licence and the sample configuration.
  set(ORMA_DOC_DIR .)
else()
  set(ORMA_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

if(WIN32)
  # Text files in the archive have Windows line ends: copies made at configure time, and again
  # when a source changes. LOGS_OFF switches every log of a log configuration off: the archive's
  # sample writes no file into the folder where it is unpacked and tried, and each Logging line
  # stays under the comment that says how to switch it on.
  function(orma_crlf_copy source result)
    get_filename_component(name ${source} NAME)
    file(READ ${source} text)
    if(ARGN STREQUAL "LOGS_OFF")
      string(REGEX REPLACE "\nLogging[ \t]*=[^\n;]*" "\nLogging = OFF" text "${text}")
    endif()
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/crlf/${name} "${text}")
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    set(${result} ${CMAKE_BINARY_DIR}/crlf/${name} PARENT_SCOPE)
  endfunction()
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/include/ORMA_DLL.h orma_header)
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/config/ORMA_DLL_Log.ini orma_ini LOGS_OFF)
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/LICENSE orma_license)
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/src/api/ORMA_DLL.def orma_def)
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/packaging/README-Windows.txt orma_readme)
  orma_crlf_copy(${PROJECT_SOURCE_DIR}/tools/wireshark/orma_dll.lua orma_dissector)
else()
  set(orma_header ${PROJECT_SOURCE_DIR}/include/ORMA_DLL.h)
  set(orma_dissector ${PROJECT_SOURCE_DIR}/tools/wireshark/orma_dll.lua)
  set(orma_ini ${PROJECT_SOURCE_DIR}/config/ORMA_DLL_Log.ini)
  set(orma_license ${PROJECT_SOURCE_DIR}/LICENSE)
endif()

install(TARGETS ORMA_DLL EXPORT ORMA_DLLTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${orma_header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${orma_ini} ${orma_license} DESTINATION ${ORMA_DOC_DIR})
# The Wireshark dissector for the capture files, to be copied into Wireshark's plugins folder.
install(FILES ${orma_dissector} DESTINATION ${CMAKE_INSTALL_DATADIR}/ORMA_DLL/wireshark)
if(ORMA_TOOLS)
  install(TARGETS ormactl ormasim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    # The installed tool finds the installed library wherever the prefix is, without ldconfig.
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(ormactl PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    include(${PROJECT_SOURCE_DIR}/cmake/manpages.cmake)
  endif()
endif()

if(WIN32)
  install(FILES ${orma_readme} DESTINATION . RENAME README.txt)
  # The .def file lets any toolchain make an import library; ORMA_DLL.lib is one made for
  # MSVC-compatible linkers (link.exe, lld-link) with llvm-dlltool, when that is installed.
  install(FILES ${orma_def} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  find_program(ORMA_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
  if(ORMA_LLVM_DLLTOOL)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(machine i386)
    else()
      set(machine i386:x86-64)
    endif()
    set(msvc_lib ${CMAKE_BINARY_DIR}/lib/ORMA_DLL.lib)
    add_custom_command(OUTPUT ${msvc_lib}
                       COMMAND ${ORMA_LLVM_DLLTOOL} -m ${machine} -d ${PROJECT_SOURCE_DIR}/src/api/ORMA_DLL.def -l ${msvc_lib}
                       DEPENDS ${PROJECT_SOURCE_DIR}/src/api/ORMA_DLL.def VERBATIM)
    add_custom_target(ORMA_DLL_msvc_lib ALL DEPENDS ${msvc_lib})
    install(FILES ${msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  else()
    message(STATUS "llvm-dlltool not found: the archive will have no ORMA_DLL.lib for MSVC-compatible linkers")
  endif()
  # The shipped binaries are stripped; their debug information goes into an archive of its own.
  foreach(target ORMA_DLL ormactl ormasim)
    install(FILES $<TARGET_FILE:${target}>.debug DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT debug)
  endforeach()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME ORMA_DLL)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
  # Two archives: ORMA_DLL-1.1.0-win-x86_64.zip and ORMA_DLL-1.1.0-win-x86_64-debug.zip.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON) # both unpack into one folder
  set(CPACK_ARCHIVE_UNSPECIFIED_FILE_NAME ORMA_DLL-${PROJECT_VERSION}-win-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_ARCHIVE_DEBUG_FILE_NAME ORMA_DLL-${PROJECT_VERSION}-win-${CMAKE_SYSTEM_PROCESSOR}-debug)
  include(CPack)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CONTRIBUTING.md DESTINATION ${ORMA_DOC_DIR})

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ORMA_DLL)
  install(EXPORT ORMA_DLLTargets NAMESPACE ORMA_DLL:: DESTINATION ${cmake_dir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/ORMA_DLLConfig.cmake.in
                                ${CMAKE_CURRENT_BINARY_DIR}/ORMA_DLLConfig.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ORMA_DLLConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ORMA_DLLConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ORMA_DLLConfigVersion.cmake
          DESTINATION ${cmake_dir})

  # ORMA_DLL.pc, the CMake package's name, finds the prefix from its own place, so an installed
  # tree can be moved; orma_dll.pc is the same file under the name of earlier releases.
  file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  file(RELATIVE_PATH pc_includedir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/orma_dll.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orma_dll.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orma_dll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          RENAME ORMA_DLL.pc)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orma_dll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
