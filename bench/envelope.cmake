quill_bench(envelope_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/envelope_bench.cpp
  DEPS quill_envelope quill_crypto)
