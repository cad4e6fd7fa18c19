if(TARGET quill_webrtc)
  set(QUILL_WEBRTC_TEST_SOURCES webrtc_layer_test.cpp)
  set(QUILL_WEBRTC_TEST_DEPS quill_webrtc)
  if(TARGET quill_session_core)
    list(APPEND QUILL_WEBRTC_TEST_SOURCES webrtc_session_test.cpp)
    list(APPEND QUILL_WEBRTC_TEST_DEPS quill_session_core)
  endif()
  quill_test(webrtc_test LABELS webrtc TIMEOUT 180
    SOURCES ${QUILL_WEBRTC_TEST_SOURCES}
    DEPS ${QUILL_WEBRTC_TEST_DEPS})
endif()
