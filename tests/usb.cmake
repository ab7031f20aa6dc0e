# The USB link of modes 3 and 4 under Wine, against the simulated device (ormasim --usb) through
# the test build of the library (bin/simdev/, ORMA_SIMDEV): test_usb links the test build's core
# and starts the simulator and host processes (usb_host, next to the test build's DLL). The
# library's pipe names and the simulator's are fixed, so these tests have a Wine prefix of their
# own (two lanes of them, see below).
if(NOT WIN32)
  orma_test(test_usb_posix LIBS orma_core) # modes 3 and 4 say that they need Windows
  return()
elseif(NOT TARGET ORMA_DLL_simdev)
  return()
endif()
add_executable(usb_host usb_host.cpp)
target_link_libraries(usb_host PRIVATE orma_warnings)
set_target_properties(usb_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ORMA_SIMDEV_DIR})
add_dependencies(usb_host ORMA_DLL_simdev ormactl_simdev)

add_executable(test_usb test_usb.cpp)
target_link_libraries(test_usb PRIVATE orma_core_simdev orma_test_util GTest::gtest_main orma_warnings)
add_dependencies(test_usb usb_host ormasim)

# One CTest test per group, each in a folder of its own. The pipe names are fixed, so each lane
# (a Wine prefix with its own wineserver, hence its own pipes) runs one group at a time; the two
# lanes run side by side.
foreach(group a:device:Device.* a:host_channel:HostChannel.* b:one_host:Hosts.OneHost* a:capture:Hosts.ACapture*:Hosts.AReplay* a:sharing:Hosts.TwoProcesses*
              b:takeover:Hosts.TakeOver* a:unplug:Hosts.Unplug* a:held_pipe:Hosts.AClientThatStops* b:answers:Hosts.EveryModeAnswersTheSame:Hosts.AStartWith*
              a:sixteen:Hosts.Sixteen* b:framing:Hosts.FramingFaults*:Hosts.LongMessages* b:unload:Hosts.Unload*)
  string(REPLACE ":" ";" parts ${group})
  list(GET parts 0 lane)
  list(GET parts 1 name)
  list(SUBLIST parts 2 -1 filters)
  list(JOIN filters ":" filter)
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/run/usb_${name})
  file(MAKE_DIRECTORY ${workdir})
  add_test(NAME usb_${name} COMMAND test_usb --gtest_filter=${filter} WORKING_DIRECTORY ${workdir})
  set_tests_properties(usb_${name} PROPERTIES TIMEOUT 300 RESOURCE_LOCK wine_usb_${lane} LABELS usb
                       ENVIRONMENT ORMA_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-usb-${lane})
  orma_gtest_must_finish(usb_${name})
endforeach()
# The USB session's capture read back by tshark with the dissector, on this machine's side.
set_tests_properties(usb_capture PROPERTIES FIXTURES_SETUP usb_capture_file)
find_program(ORMA_TSHARK tshark)
if(ORMA_TSHARK)
  add_test(NAME usb_capture_tshark WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/run/usb_capture
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/capture_check.sh ${ORMA_TSHARK}
                   ${PROJECT_SOURCE_DIR}/tools/wireshark/orma_dll.lua a/usb.pcapng a/usb_expected.txt)
  set_tests_properties(usb_capture_tshark PROPERTIES FIXTURES_REQUIRED usb_capture_file LABELS usb TIMEOUT 120)
endif()

# The shipped DLL carries no hook to the simulated device; the test build's has it.
add_test(NAME usb_no_simdev_hook COMMAND sh -c "! grep -q ormasim_usb \"$0\" && grep -q ormasim_usb \"$1\""
                                         $<TARGET_FILE:ORMA_DLL> $<TARGET_FILE:ORMA_DLL_simdev>)
