# Device I/O primitives: the pipe names everywhere; under Wine the threads, overlapped I/O, the
# driver pipe channel and the named-pipe server, with client processes of their own.
orma_test(test_pipe_name LIBS orma_core)
if(WIN32)
  orma_test(test_io_threads LIBS orma_core TIMEOUT 180)
endif()
