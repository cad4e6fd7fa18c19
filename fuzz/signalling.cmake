quill_fuzz(signalling_fuzz
  SOURCES signalling_fuzz.cpp
  DEPS quill_signalling
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/signalling_fuzz)
