# Serial and TCP links: frame and reassembly scan, dispatch, transports, link client. (The TCP
# transport's client role runs under the link client and the end-to-end tests; its server role is
# not used by the library's modes.)
orma_test(test_link_client LIBS orma_core TIMEOUT 120 LABELS threaded)
orma_test(test_frame LIBS orma_core)
orma_test(test_capture LIBS orma_core)
if(NOT WIN32)
  # The serial line natively, over a pseudo-terminal pair made by the test. Under Wine the COM
  # backend runs in the end-to-end tests of mode 1 (e2e.cmake); what it asks of the line is read
  # back through its seam.
  orma_test(test_link_com LIBS orma_core TIMEOUT 120 LABELS threaded)
else()
  orma_test(test_link_com_win32 LIBS orma_core)
endif()
orma_test(test_console LIBS orma_core)
