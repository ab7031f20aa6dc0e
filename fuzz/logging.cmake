# The filter expression parser and matcher, and the configuration loader (INI reader, channel
# set-up, a few messages through every channel).
orma_fuzz_target(fuzz_log_filter ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_log_filter.cpp)
# ormactl's configuration check runs over the same files: it must never crash on any INI.
orma_fuzz_target(fuzz_log_config ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_log_config.cpp
                 ${PROJECT_SOURCE_DIR}/tools/ormactl/log_config_check.cpp
                 ${PROJECT_SOURCE_DIR}/tools/ormactl/platform_posix.cpp)
target_include_directories(fuzz_log_config PRIVATE ${PROJECT_SOURCE_DIR}/tools/ormactl)
if(ORMA_INI_BACKEND STREQUAL "iniparser")
  # Natively the loader runs over iniparser; the project's own reader must agree with it.
  target_compile_definitions(fuzz_log_config PRIVATE ORMA_FUZZ_COMPARE_INIPARSER=1)
endif()
