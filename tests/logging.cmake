# Message logging: configuration and files, writers and filters, sub-channel tracker.
orma_test(test_log_config LIBS orma_core LABELS logging)
target_compile_definitions(test_log_config PRIVATE ORMA_SAMPLE_LOG_CONFIG="${PROJECT_SOURCE_DIR}/config/ORMA_DLL_Log.ini")
orma_test(test_log_files LIBS orma_core LABELS logging)
orma_test(test_log_filter LIBS orma_core LABELS logging)
orma_test(test_log_subchannels LIBS orma_core LABELS logging)
# The project's INI reader against the iniparser library, where the target has the library.
if(ORMA_INI_BACKEND STREQUAL "iniparser")
  orma_test(test_ini_diff LIBS orma_core LABELS logging) # the own reader is in the INI layer (orma_ini)
  target_include_directories(test_ini_diff PRIVATE ${INIPARSER_INCLUDE_DIR})
  target_link_libraries(test_ini_diff PRIVATE ${INIPARSER_LIBRARY})
  target_compile_definitions(test_ini_diff PRIVATE ORMA_INI_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus/fuzz_log_config")
endif()
# The INI file's table, and the library and ormactl config reading one file alike.
if(WIN32)
  set(ormactl_platform ${PROJECT_SOURCE_DIR}/tools/ormactl/platform_win32.cpp)
else()
  set(ormactl_platform ${PROJECT_SOURCE_DIR}/tools/ormactl/platform_posix.cpp)
endif()
orma_test(test_config LIBS orma_core LABELS logging
          SOURCES ${PROJECT_SOURCE_DIR}/tools/ormactl/log_config_check.cpp ${ormactl_platform})
target_include_directories(test_config PRIVATE ${PROJECT_SOURCE_DIR}/tools/ormactl)
target_compile_definitions(test_config PRIVATE ORMA_SAMPLE_LOG_CONFIG="${PROJECT_SOURCE_DIR}/config/ORMA_DLL_Log.ini")
