quill_fuzz(envelope_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/envelope_fuzz.cpp
  DEPS quill_envelope
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/envelope_fuzz)
