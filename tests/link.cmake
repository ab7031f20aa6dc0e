# Serial and TCP links: frame and reassembly scan, dispatch, transports, link client.
if(WIN32)
  set(LINK_SOCK link_sock_win32.cpp)
else()
  set(LINK_SOCK link_sock_posix.cpp)
endif()
orma_test(test_link_client LIBS orma_core SOURCES ${LINK_SOCK} TIMEOUT 120)
orma_test(test_frame LIBS orma_core)
orma_test(test_link_tcp LIBS orma_core SOURCES ${LINK_SOCK} TIMEOUT 120)
if(NOT WIN32)
  # The serial line natively: a pseudo-terminal pair made by the test.
  orma_test(test_link_com_pty LIBS orma_core TIMEOUT 120)
endif()
if(WIN32)
  # The serial line under Wine: COM1 and COM2 mapped to the two ends of a pseudo-terminal pair
  # by wine_com_run.sh. Built as the other test programs, run through the script.
  add_executable(test_link_com_wine test_link_com_wine.cpp test_support.cpp fault_recorder.cpp)
  target_link_libraries(test_link_com_wine PRIVATE orma_core GTest::gtest_main orma_warnings)
  target_include_directories(test_link_com_wine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(test_link_com_wine PRIVATE -Wno-restrict)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/run/test_link_com_wine)
  add_test(NAME test_link_com_wine
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine_com_run.sh ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
                   $<TARGET_FILE:test_link_com_wine>
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/run/test_link_com_wine)
  set_tests_properties(test_link_com_wine PROPERTIES TIMEOUT 180 ENVIRONMENT "${ORMA_TEST_ENV}"
                       RESOURCE_LOCK wine_com)
endif()
# The stop's 10000 ms bound, on its own so that it runs alongside the other tests.
orma_test(test_link_stop_slow LIBS orma_core SOURCES ${LINK_SOCK} TIMEOUT 120)
orma_test(test_link_console LIBS orma_core)
