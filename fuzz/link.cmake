# The reassembly scan over arbitrary byte streams cut into arbitrary reads.
orma_fuzz_target(fuzz_reassembly ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_reassembly.cpp)
