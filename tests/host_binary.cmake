# The host binary itself, on Xvfb in a private network namespace: quitting, and a stranger's flood.
if(TARGET quillmate-host)
  quill_test(host_binary_test LABELS e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_binary_test.cpp
    DEPS quill_session_roles quill_pairing quill_keychain quill_host_x11)
  target_compile_definitions(host_binary_test PRIVATE QUILL_HOST_BINARY="$<TARGET_FILE:quillmate-host>")
  add_dependencies(host_binary_test quillmate-host)
endif()
