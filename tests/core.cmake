# Runtime support, message service, host interface.
orma_test(test_heap LIBS orma_core LABELS threaded)
orma_test(test_sem LIBS orma_core LABELS threaded)
orma_test(test_svc LIBS orma_core)
orma_test(test_api LIBS orma_core LABELS threaded)
# The exports under several threads, over a pseudo-terminal (POSIX); also run under ThreadSanitizer.
if(NOT WIN32)
  orma_test(test_concurrency LIBS orma_core TIMEOUT 180 LABELS threaded)
endif()
