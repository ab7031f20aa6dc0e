# The module simulator's own logic (frames, answers, notifications, noise, split writes), checked
# against the library's frame scan, and its capture and replay; native only, as the simulator's
# tests run with its Linux build.
if(NOT WIN32)
  orma_test(test_sim_core LIBS orma_core ormasim_core)
  orma_test(test_sim_replay LIBS ormasim_core)
endif()
