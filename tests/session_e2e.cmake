# A whole session over loopback TCP and real WebRTC, both roles in one process.
if(TARGET quill_session_roles)
  quill_test(session_e2e_test LABELS webrtc e2e
    SOURCES session_e2e_test.cpp
    DEPS quill_session_roles)
endif()
