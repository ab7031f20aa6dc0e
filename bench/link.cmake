# The serial/TCP link: frames cut from a noisy stream per second, and the round trip of one
# command through the exports against ormasim compared with a bare socket echo (native only).
if(NOT WIN32)
  add_executable(bench_link ${CMAKE_CURRENT_SOURCE_DIR}/bench_link.cpp)
  target_link_libraries(bench_link PRIVATE orma_core ormasim_core benchmark::benchmark orma_warnings)
  target_compile_definitions(bench_link PRIVATE ORMASIM_PATH="$<TARGET_FILE:ormasim>")
  add_dependencies(bench_link ormasim)
endif()

# The soak of mode 2 under protocol 2 against a garbling simulator (a program, not a benchmark:
# it takes minutes; see the comment at its top).
if(NOT WIN32)
  add_executable(soak_link ${CMAKE_CURRENT_SOURCE_DIR}/soak_link.cpp)
  target_link_libraries(soak_link PRIVATE ORMA_DLL orma_warnings)
  target_compile_definitions(soak_link PRIVATE ORMASIM_PATH="$<TARGET_FILE:ormasim>")
  add_dependencies(soak_link ormasim)
endif()

# How long ORMA_DLL_Init takes with the module present (a program: bench_init MODE [COUNT]).
add_executable(bench_init ${CMAKE_CURRENT_SOURCE_DIR}/bench_init.cpp)
target_link_libraries(bench_init PRIVATE ORMA_DLL orma_warnings)
