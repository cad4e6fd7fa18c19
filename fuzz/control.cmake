quill_fuzz(control_fuzz
  SOURCES control_fuzz.cpp
  DEPS quill_control
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/control_fuzz)
if(TARGET control_fuzz AND QUILL_SANITIZE)
  # The generated parser lives in the proto library: give the fuzzer coverage feedback from it.
  target_compile_options(quill_control_proto PRIVATE -fsanitize=fuzzer-no-link)
endif()
