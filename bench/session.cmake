# Session set-up through both roles on loopback (run inside scripts/harness/webrtc).
if(TARGET quill_session_roles)
  quill_bench(session_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/session_bench.cpp
    DEPS quill_session_roles)
endif()
