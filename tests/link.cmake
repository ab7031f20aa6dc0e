# Serial and TCP links: frame and reassembly scan, dispatch, transports, link client.
orma_test(test_link_client LIBS orma_core TIMEOUT 120 LABELS threaded)
orma_test(test_frame LIBS orma_core)
orma_test(test_link_tcp LIBS orma_core TIMEOUT 120 LABELS threaded)
if(NOT WIN32)
  # The serial line natively: a pseudo-terminal pair made by the test.
  orma_test(test_link_com LIBS orma_core SOURCES link_com_module_posix.cpp TIMEOUT 120 LABELS threaded)
else()
  # The serial line under Wine: COM1 and COM2 mapped to the two ends of a pseudo-terminal pair
  # by wine_com_run.sh. Built as the other test programs, run through the script.
  orma_test(test_link_com LIBS orma_core SOURCES link_com_module_win32.cpp TIMEOUT 180 LOCK wine_com
            RUNNER sh ${CMAKE_CURRENT_SOURCE_DIR}/wine_com_run.sh ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
endif()
# The stop's 10000 ms bound, on its own so that it runs alongside the other tests.
orma_test(test_link_stop_slow LIBS orma_core TIMEOUT 120)
orma_test(test_console LIBS orma_core)
