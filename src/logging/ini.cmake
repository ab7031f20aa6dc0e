# The INI layer that the library and ormactl share, as the static library orma_ini: the reader
# of the target, the project's own reader (whose line scanner ormactl uses on every target), and
# the reader of [ORMA_LINK]. The reader is the target's iniparser library when one is found
# (natively Debian's libiniparser-dev), else the project's own. Sets ORMA_INI_BACKEND.
find_path(INIPARSER_INCLUDE_DIR iniparser.h PATH_SUFFIXES iniparser)
find_library(INIPARSER_LIBRARY iniparser)
if(INIPARSER_INCLUDE_DIR AND INIPARSER_LIBRARY)
  set(ORMA_INI_BACKEND iniparser)
  add_library(orma_ini STATIC logging/ini_iniparser.cpp)
  target_include_directories(orma_ini PRIVATE ${INIPARSER_INCLUDE_DIR})
  target_link_libraries(orma_ini PUBLIC ${INIPARSER_LIBRARY})
else()
  set(ORMA_INI_BACKEND builtin)
  add_library(orma_ini STATIC logging/ini_builtin.cpp)
endif()
target_sources(orma_ini PRIVATE logging/ini_own.cpp logging/options_ini.cpp)
target_link_libraries(orma_ini PUBLIC orma_config PRIVATE orma_warnings)
set_target_properties(orma_ini PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
set(ORMA_INI_BACKEND ${ORMA_INI_BACKEND} PARENT_SCOPE)
message(STATUS "INI reader of the log configuration: ${ORMA_INI_BACKEND}")
