# Messages logged per second with all four channels on and filters of eight expressions.
add_executable(bench_logging ${CMAKE_CURRENT_SOURCE_DIR}/bench_logging.cpp)
target_link_libraries(bench_logging PRIVATE orma_core benchmark::benchmark orma_warnings)
