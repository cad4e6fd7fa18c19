quill_fuzz(txt_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/txt_fuzz.cpp
  DEPS quill_discovery
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/txt_fuzz)
