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
