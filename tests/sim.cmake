# The module simulator's own logic (frames, answers, notifications, noise, split writes), checked
# against the library's frame scan; native only, as the simulator is a POSIX program.
if(NOT WIN32)
  orma_test(test_sim_core LIBS orma_core ormasim_core)
endif()
