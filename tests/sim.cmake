# The module simulator's own logic (answers, notifications, noise, split writes); native only,
# as the simulator is a POSIX program.
if(NOT WIN32)
  orma_test(test_sim_core LIBS orma_core SOURCES ${PROJECT_SOURCE_DIR}/tools/ormasim/sim_core.cpp)
  target_include_directories(test_sim_core PRIVATE ${PROJECT_SOURCE_DIR}/tools/ormasim)
endif()
