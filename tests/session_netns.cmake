# Whole sessions of the host binary with a controller of another make across the two-namespace
# test network; scripts/harness/netns provides it, scripts/harness/x11 inside it the display.
if(TARGET quillmate-host)
  add_executable(receiving_controller ${CMAKE_CURRENT_LIST_DIR}/receiving_controller.cpp)
  target_compile_options(receiving_controller PRIVATE ${QUILL_WARNINGS})
  target_include_directories(receiving_controller PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(receiving_controller PRIVATE quill_session_roles Threads::Threads)

  quill_test(session_netns_test LABELS netns TIMEOUT 600
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_netns_test.cpp
    DEPS quill_session_roles quill_pairing quill_keychain quill_host_x11 quill_host_activity_log)
  target_compile_definitions(session_netns_test PRIVATE
    QUILL_HOST_BINARY="$<TARGET_FILE:quillmate-host>"
    QUILL_RECEIVING_CONTROLLER="$<TARGET_FILE:receiving_controller>")
  add_dependencies(session_netns_test quillmate-host receiving_controller)
endif()
