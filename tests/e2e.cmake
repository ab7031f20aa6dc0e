# Modes 1 and 2 end to end: the exports against the ormasim module simulator. Each CTest test
# starts its own simulator through e2e_run.sh. The Windows programs run under Wine against the
# native simulator, found in ORMA_HOST_TOOLS_DIR (tools/test.sh builds the native tree first).
if(WIN32)
  set(E2E_SIM ${ORMA_HOST_TOOLS_DIR}/ormasim)
  set(E2E_RUNNER ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
  if(NOT ORMA_HOST_TOOLS_DIR OR NOT EXISTS ${E2E_SIM})
    message(STATUS "End-to-end tests skipped: set ORMA_HOST_TOOLS_DIR to the folder of a native ormasim")
    return()
  endif()
  set(E2E_TCP_COUNT 100000)
  set(E2E_COM_COUNT 2000)  # one-byte overlapped reads under Wine: some 25 commands a second
else()
  set(E2E_SIM $<TARGET_FILE:ormasim>)
  set(E2E_RUNNER)
  set(E2E_TCP_COUNT 100000)
  set(E2E_COM_COUNT 10000)
endif()

add_executable(test_e2e test_e2e.cpp)
target_link_libraries(test_e2e PRIVATE orma_test_core GTest::gtest_main orma_warnings)

# e2e_test(name MODE m FILTER gtest-filter COUNT n SIM simulator-options... LOCK resource); NO_SIM:
# without a simulator (the test is the module's peer)
function(e2e_test name)
  cmake_parse_arguments(E "NO_SIM" "MODE;FILTER;COUNT;TIMEOUT;PROGRAM" "SIM;LOCK" ${ARGN})
  if(NOT E_PROGRAM)
    set(E_PROGRAM test_e2e)
  endif()
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/run/${name})
  file(MAKE_DIRECTORY ${workdir})
  set(com1)
  if(WIN32 AND E_MODE EQUAL 1)
    set(com1 --com1 ${E2E_RUNNER})
  endif()
  set(sim ${CMAKE_CURRENT_SOURCE_DIR}/e2e_run.sh ${com1} ${E2E_SIM} ${E_SIM} --)
  if(E_NO_SIM)
    set(sim)
  endif()
  add_test(NAME ${name} WORKING_DIRECTORY ${workdir}
           COMMAND ${sim} ${E2E_RUNNER} $<TARGET_FILE:${E_PROGRAM}> --gtest_filter=${E_FILTER})
  if(NOT E_TIMEOUT)
    set(E_TIMEOUT 300)
  endif()
  if(com1)
    # Mapping COM1 restarts the prefix's server: the serial tests have a prefix of their own.
    set(env ORMA_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-com ORMA_E2E_MODE=${E_MODE})
  else()
    set(env "${ORMA_TEST_ENV}" ORMA_E2E_MODE=${E_MODE})
  endif()
  if(E_COUNT)
    list(APPEND env ORMA_E2E_COUNT=${E_COUNT})
  endif()
  orma_gtest_must_finish(${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${E_TIMEOUT} ENVIRONMENT "${env}" LABELS e2e
                                          RESOURCE_LOCK "${E_LOCK}")
endfunction()

set(noisy --noise 48 --split 4)
# Each TCP simulator listens on a free port, which the runner passes on as [ORMA_LINK] Port, so
# that the tests run side by side; the default address is the packaging's (consumers, quick start).
set(tcp_sim --tcp --port 0)
set(com_lock)
set(com_sim --serial)
if(WIN32)
  set(com_lock wine_com)
  set(com_sim --serial --hold-line) # Wine's serial layer polls the line: it must never hang up
endif()

# One simulator per scenario: each scenario starts and stops the library once, as a host does.
set(cases Framed:CommandFramedOnTheWireAndResponsePolled Fixed:FixedStartWaitsTheDescribedTimes
          Queue:SecondCommandWaitsForTheResponseAndGoesOutOnLoop
          Pruned:NotificationsBeforeTheFirstPollArePruned SilentExit:ExitWithASilentModuleIsQuick)
set(seed 3)
foreach(case IN LISTS cases)
  string(REPLACE ":" ";" parts ${case})
  list(GET parts 0 short)
  list(GET parts 1 full)
  string(TOLOWER ${short} short)
  e2e_test(e2e_tcp_${short} MODE 2 FILTER Exchange.${full} SIM ${tcp_sim} ${noisy} --seed ${seed} --record sim_rx.txt
          )
  e2e_test(e2e_com_${short} MODE 1 FILTER Exchange.${full} SIM ${com_sim} ${noisy} --seed ${seed} --record sim_rx.txt
           LOCK ${com_lock})
  math(EXPR seed "${seed} + 2")
endforeach()
# Links that come back: the module's line pulled away and brought back (the serial line keeps
# its path through a symbolic link).
e2e_test(e2e_tcp_pulled MODE 2 FILTER Exchange.LinkPulledAwayComesBackAndTheHostHearsOfIt
         SIM ${tcp_sim} ${noisy} --seed 11 --record sim_rx.txt)
e2e_test(e2e_com_pulled MODE 1 FILTER Exchange.LinkPulledAwayComesBackAndTheHostHearsOfIt
         SIM ${com_sim} --link ${CMAKE_CURRENT_BINARY_DIR}/run/e2e_com_pulled/com1 ${noisy} --seed 13
             --record sim_rx.txt
         LOCK ${com_lock})

# One voice: one callback at a time against a module that notifies every millisecond, a 0x85
# never after its real response, and the same answers in every mode.
e2e_test(e2e_tcp_one_voice MODE 2 FILTER Exchange.CallbackIsEnteredByOneThreadAtATime SIM ${tcp_sim})
e2e_test(e2e_tcp_race MODE 2 FILTER Exchange.NoAnswerNeverComesAfterTheRealResponse SIM ${tcp_sim})
e2e_test(e2e_com_race MODE 1 FILTER Exchange.NoAnswerNeverComesAfterTheRealResponse SIM ${com_sim} LOCK ${com_lock})
e2e_test(e2e_tcp_same MODE 2 FILTER Rows/EveryMode.AnswersTheSame/* SIM ${tcp_sim})
# Natively the four rows start mode 1 one after the other in one process. Under Wine each row has
# a process and a line of its own: there a later start never opens a pseudo-terminal that an
# earlier one configured, as Wine's SetCommState fails on it ("set_line_control tcsetattr error
# 'Invalid argument'", seen with ORMA_WINEDEBUG=err+serial).
if(WIN32)
  foreach(row 0 1 2 3)
    e2e_test(e2e_com_same_${row} MODE 1 FILTER Rows/EveryMode.AnswersTheSame/${row}
             SIM ${com_sim} --link ${CMAKE_CURRENT_BINARY_DIR}/run/e2e_com_same_${row}/com1 LOCK ${com_lock})
  endforeach()
else()
  e2e_test(e2e_com_same MODE 1 FILTER Rows/EveryMode.AnswersTheSame/*
           SIM ${com_sim} --link ${CMAKE_CURRENT_BINARY_DIR}/run/e2e_com_same/com1 LOCK ${com_lock})
endif()
# The link's state with no module, a host that waits for a message, and a peer that accepts and
# never reads: the test is the peer, on a port of its own.
e2e_test(e2e_tcp_host_waits NO_SIM MODE 2 TIMEOUT 120
         FILTER Exchange.LinkStateWithoutAModule:Exchange.WaitingReceiveReturnsAsTheMessageComes)
e2e_test(e2e_tcp_never_reads NO_SIM MODE 2 TIMEOUT 120 FILTER Exchange.PeerThatNeverReadsHoldsNoHostThread)

e2e_test(e2e_tcp_long MODE 2 FILTER Exchange.LongExchangeLosesNothing COUNT ${E2E_TCP_COUNT}
         SIM ${tcp_sim} ${noisy} --seed 5 TIMEOUT 900)
e2e_test(e2e_com_long MODE 1 FILTER Exchange.LongExchangeLosesNothing COUNT ${E2E_COM_COUNT}
         SIM ${com_sim} ${noisy} --seed 9 TIMEOUT 900 LOCK ${com_lock})

# The serial port named by [ORMA_LINK] ComPort: natively the line's path, under Wine COM7 and
# COM12 mapped to it.
if(WIN32)
  foreach(n 7 12)
    e2e_test(e2e_com_port${n} MODE 1 FILTER Exchange.SerialPortFromTheSettings SIM ${com_sim} LOCK ${com_lock})
    set_property(TEST e2e_com_port${n} APPEND PROPERTY ENVIRONMENT ORMA_E2E_COM_NAME=COM${n} ORMA_E2E_COMPORT=${n})
  endforeach()
else()
  e2e_test(e2e_com_named MODE 1 FILTER Exchange.SerialPortFromTheSettings SIM ${com_sim})
endif()

# script_test(name timeout command...): a script in a folder of its own under run/.
function(script_test name timeout)
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/run/${name})
  file(MAKE_DIRECTORY ${workdir})
  add_test(NAME ${name} WORKING_DIRECTORY ${workdir} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${ORMA_TEST_ENV}" LABELS e2e)
endfunction()

# A module on another machine: ser2net in front of the simulator's serial line (when installed).
find_program(SER2NET ser2net)
if(NOT WIN32 AND SER2NET)
  script_test(e2e_bridge 300 ${CMAKE_CURRENT_SOURCE_DIR}/bridge_run.sh $<TARGET_FILE:ormasim> $<TARGET_FILE:test_e2e>
              --gtest_filter=Exchange.RoundTripsThroughABridgeThatRestarts)
  set_tests_properties(e2e_bridge PROPERTIES ENVIRONMENT "${ORMA_TEST_ENV};ORMA_E2E_MODE=2")
endif()

# The host tool against the simulator: mode 2 on a port of its own, and natively mode 1 through
# --device.
function(ormactl_test name)
  script_test(${name} 120 ${CMAKE_CURRENT_SOURCE_DIR}/e2e_run.sh ${E2E_SIM} ${ARGN} --noise 8 --split 2
              -- ${CMAKE_CURRENT_SOURCE_DIR}/e2e_ormactl.sh ${E2E_RUNNER} $<TARGET_FILE:ormactl>)
endfunction()
ormactl_test(e2e_ormactl --tcp --port 0)
if(NOT WIN32)
  ormactl_test(e2e_ormactl_device --serial)

  # ormactl config on faulty log configurations, and a mode that Linux does not have.
  script_test(ormactl_config 120 ${CMAKE_CURRENT_SOURCE_DIR}/ormactl_config.sh $<TARGET_FILE:ormactl>
              ${PROJECT_SOURCE_DIR}/config/ORMA_DLL_Log.ini)

  # [ORMA_CONSOLE] Output against a port where nothing listens.
  script_test(console_output 120 ${CMAKE_CURRENT_SOURCE_DIR}/console_output.sh $<TARGET_FILE:ormactl>)

  # MaxSize = 100 keeps the sub-channel file bounded while the module notifies every 1 ms.
  script_test(log_flood 120 ${CMAKE_CURRENT_SOURCE_DIR}/e2e_run.sh ${E2E_SIM} --tcp --port 0
              -- ${CMAKE_CURRENT_SOURCE_DIR}/log_flood.sh $<TARGET_FILE:ormactl>)
endif()

if(WIN32)
  # The library freed while its receive thread runs, then loaded again (mode 2).
  add_executable(test_unload test_unload.cpp)
  target_link_libraries(test_unload PRIVATE orma_test_util GTest::gtest_main orma_warnings)
  add_dependencies(test_unload ORMA_DLL)
  e2e_test(e2e_unload PROGRAM test_unload FILTER Unload.* SIM ${tcp_sim} TIMEOUT 60)
endif()

# The capture of a session: commands and their responses through the exports with
# [ORMA_CAPTURE] on, read back with tshark and the dissector, against what crossed the exports.
add_executable(capture_session capture_session.cpp)
target_link_libraries(capture_session PRIVATE ORMA_DLL orma_warnings)
find_program(ORMA_TSHARK tshark)
if(ORMA_TSHARK AND NOT WIN32)
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/run/capture_tcp)
  file(MAKE_DIRECTORY ${workdir})
  # 5000 commands of many codes and lengths, each awaiting its response.
  set(commands "BEGIN { for (i = 0; i < 5000; i++) { printf \"%02x\", 1 + i % 62; for (k = 1; k < 1 + i * 7 % 40; k++) printf \" %02x\", (i * 31 + k) % 256; print \"\" } }")
  add_test(NAME capture_tcp WORKING_DIRECTORY ${workdir}
           COMMAND sh -c "rm -f host.pcapng && awk '${commands}' >commands.txt && \"$0\" \"$1\" --tcp --port 0 -- sh -c 'printf \"[ORMA_CAPTURE]\\nFile = host.pcapng\\n\" >>ORMA_DLL_Log.ini && \"$0\" 2 commands.txt' \"$2\" && \"$3\" \"$4\" \"$5\" host.pcapng exports.txt"
                   ${CMAKE_CURRENT_SOURCE_DIR}/e2e_run.sh ${E2E_SIM} $<TARGET_FILE:capture_session>
                   ${CMAKE_CURRENT_SOURCE_DIR}/capture_check.sh ${ORMA_TSHARK} ${PROJECT_SOURCE_DIR}/tools/wireshark/orma_dll.lua)
  set_tests_properties(capture_tcp PROPERTIES TIMEOUT 300 LABELS e2e)
endif()

# The golden session: its module side replayed (ormasim --replay) gives the library the log
# files and the messages at the exports that the session gave (golden_run.sh record makes them),
# over TCP and a serial line; and a session recorded now, replayed, gives what it gave.
if(NOT WIN32)
  foreach(role check check-serial roundtrip)
    set(workdir ${CMAKE_CURRENT_BINARY_DIR}/run/golden_${role})
    file(MAKE_DIRECTORY ${workdir})
    add_test(NAME golden_${role} WORKING_DIRECTORY ${workdir}
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/golden_run.sh ${role} $<TARGET_FILE:ormasim>
                     $<TARGET_FILE:capture_session> ${CMAKE_CURRENT_SOURCE_DIR}/golden)
    set_tests_properties(golden_${role} PROPERTIES TIMEOUT 120 LABELS e2e)
  endforeach()
endif()
