# The session core stands on the GStreamer WebRTC layer and the control messages; it is left
# out with the WebRTC layer.
if(TARGET quill_webrtc AND TARGET quill_control)
  quill_library(quill_session_core
    SOURCES session_core.cpp session_core_stats.cpp
    DEPS quill_base quill_crypto quill_session_types quill_signalling quill_control quill_webrtc)

  quill_test(quill_session_core_test
    SOURCES session_core_test.cpp session_core_stats_test.cpp
    DEPS quill_session_core)
endif()
