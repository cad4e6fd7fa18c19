if(TARGET quill_webrtc)
  quill_test(webrtc_test LABELS webrtc
    SOURCES webrtc_layer_test.cpp
    DEPS quill_webrtc)
endif()
