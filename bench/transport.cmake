quill_bench(transport_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/transport_bench.cpp
  DEPS quill_transport)
