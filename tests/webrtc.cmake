if(TARGET quill_session_core)
  quill_test(webrtc_test LABELS webrtc TIMEOUT 180
    SOURCES webrtc_session_test.cpp
    DEPS quill_session_core)
endif()
