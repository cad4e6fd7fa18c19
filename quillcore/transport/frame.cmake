# Frame channel and the envelope link over it.
quill_library(quill_transport
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_channel.cpp ${CMAKE_CURRENT_LIST_DIR}/envelope_link.cpp
          ${CMAKE_CURRENT_LIST_DIR}/connection_intake.cpp ${CMAKE_CURRENT_LIST_DIR}/offence_record.cpp
          ${CMAKE_CURRENT_LIST_DIR}/admission_rule.cpp
  DEPS quill_base quill_net quill_envelope quill_crypto quill_identity quill_signalling)

quill_test(quill_transport_frame_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_channel_test.cpp ${CMAKE_CURRENT_LIST_DIR}/envelope_link_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/offence_record_test.cpp ${CMAKE_CURRENT_LIST_DIR}/connection_intake_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/admission_rule_test.cpp
  DEPS quill_transport)
