# Frame channel (and, once its dependencies exist, the envelope link).
quill_library(quill_transport
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_channel.cpp
  DEPS quill_base quill_net)

quill_test(quill_transport_frame_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_channel_test.cpp
  DEPS quill_transport)
