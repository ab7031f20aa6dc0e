# The serial/TCP link: frames cut from a noisy stream per second, and the round trip of one
# command through the exports against ormasim compared with a bare socket echo (native only).
if(NOT WIN32)
  add_executable(bench_link ${CMAKE_CURRENT_SOURCE_DIR}/bench_link.cpp)
  target_link_libraries(bench_link PRIVATE orma_core ormasim_core benchmark::benchmark orma_warnings)
  target_compile_definitions(bench_link PRIVATE ORMASIM_PATH="$<TARGET_FILE:ormasim>")
  add_dependencies(bench_link ormasim)
endif()
