# Which INI reader the core uses: the target's iniparser library when one is found (natively
# Debian's libiniparser-dev), else the project's own reader. Appends the backend's sources to
# ORMA_SOURCES and sets ORMA_INI_BACKEND, ORMA_INI_INCLUDE_DIRS and ORMA_INI_LIBS.
find_path(INIPARSER_INCLUDE_DIR iniparser.h PATH_SUFFIXES iniparser)
find_library(INIPARSER_LIBRARY iniparser)
if(INIPARSER_INCLUDE_DIR AND INIPARSER_LIBRARY)
  set(ORMA_INI_BACKEND iniparser)
  set(ORMA_INI_INCLUDE_DIRS ${INIPARSER_INCLUDE_DIR})
  set(ORMA_INI_LIBS ${INIPARSER_LIBRARY})
  list(APPEND ORMA_SOURCES logging/ini_iniparser.cpp)
else()
  set(ORMA_INI_BACKEND builtin)
  set(ORMA_INI_INCLUDE_DIRS)
  set(ORMA_INI_LIBS)
  list(APPEND ORMA_SOURCES logging/ini_builtin.cpp logging/ini_own.cpp)
endif()
set(ORMA_INI_BACKEND ${ORMA_INI_BACKEND} PARENT_SCOPE)
message(STATUS "INI reader of the log configuration: ${ORMA_INI_BACKEND}")
