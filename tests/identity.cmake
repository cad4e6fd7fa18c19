# The identity as a second process sees it: a small probe program run by the test.
add_executable(quill_identity_probe ${CMAKE_CURRENT_LIST_DIR}/identity_probe.cpp)
target_compile_options(quill_identity_probe PRIVATE ${QUILL_WARNINGS})
target_link_libraries(quill_identity_probe PRIVATE quill_identity)

quill_test(quill_identity_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/identity_process_test.cpp
  DEPS quill_identity)
target_compile_definitions(quill_identity_process_test PRIVATE
  QUILL_IDENTITY_PROBE="$<TARGET_FILE:quill_identity_probe>")
add_dependencies(quill_identity_process_test quill_identity_probe)
