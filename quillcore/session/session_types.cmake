quill_library(quill_session_types
  SOURCES session_types.cpp
  DEPS quill_base quill_signalling)

quill_test(quill_session_types_test
  SOURCES session_types_test.cpp
  DEPS quill_session_types)
