# Connection churn against the host binary (run inside scripts/harness/webrtc and scripts/harness/x11).
if(TARGET quillmate-host AND TARGET quill_session_roles)
  quill_bench(intake_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/intake_bench.cpp
    DEPS quill_session_roles quill_pairing quill_keychain quill_host_x11)
  if(TARGET intake_bench)
    target_compile_definitions(intake_bench PRIVATE QUILL_HOST_BINARY="$<TARGET_FILE:quillmate-host>")
    add_dependencies(intake_bench quillmate-host)
  endif()
endif()
