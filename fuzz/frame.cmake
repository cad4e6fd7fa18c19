quill_fuzz(frame_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_fuzz.cpp
  DEPS quill_transport
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/frame_fuzz)
