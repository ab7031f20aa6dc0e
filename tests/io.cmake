# Device I/O primitives: the pipe names everywhere; under Wine the threads, overlapped I/O, the
# driver pipe channel and the named-pipe server, with client processes of io_pipe_client.
orma_test(test_io_portable LIBS orma_core)
if(WIN32)
  add_executable(io_pipe_client io_pipe_client.cpp)
  target_link_libraries(io_pipe_client PRIVATE orma_warnings)
  orma_test(test_io LIBS orma_core TIMEOUT 300)
  add_dependencies(test_io io_pipe_client)
endif()
