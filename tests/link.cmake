# Serial and TCP links: frame and reassembly scan, dispatch, transports, link client.
if(WIN32)
  set(LINK_SOCK link_sock_win32.cpp)
else()
  set(LINK_SOCK link_sock_posix.cpp)
endif()
orma_test(test_link_client LIBS orma_core SOURCES ${LINK_SOCK} TIMEOUT 120)
