# TCP connections and listeners on standalone Asio, driven by one process-wide I/O thread.
quill_library(quill_net
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_io.cpp ${CMAKE_CURRENT_LIST_DIR}/tcp_connection.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tcp_listener.cpp
  DEPS quill_base Threads::Threads)
# Asio decides on aligned_alloc by what the standard library headers included before it
# defined, which differs between files and pairs aligned_alloc with operator delete. Public,
# so every file of the program that includes Asio agrees.
target_compile_definitions(quill_net PUBLIC ASIO_STANDALONE ASIO_NO_DEPRECATED ASIO_DISABLE_STD_ALIGNED_ALLOC)

quill_test(quill_net_tcp_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_test.cpp
  DEPS quill_net)
