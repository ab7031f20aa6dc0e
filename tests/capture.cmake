# The capture file's Wireshark dissector, read by tshark: native only, where tshark is installed.
if(NOT WIN32)
  find_program(ORMA_TSHARK tshark)
  if(ORMA_TSHARK)
    orma_test(test_dissector LIBS orma_pcapng LABELS capture)
    target_compile_definitions(test_dissector PRIVATE ORMA_TSHARK="${ORMA_TSHARK}"
                               ORMA_DISSECTOR="${PROJECT_SOURCE_DIR}/tools/wireshark/orma_dll.lua")
  else()
    message(STATUS "tshark not found: the dissector test (test_dissector) is left out")
  endif()
endif()
