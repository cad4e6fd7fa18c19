if(TARGET quill_session_core)
  quill_test(webrtc_test LABELS webrtc TIMEOUT 180
    SOURCES webrtc_session_test.cpp
    DEPS quill_session_core)
  # This one takes the namespace's loopback down for a while: nothing may run beside it.
  set(serial_file ${CMAKE_CURRENT_BINARY_DIR}/webrtc_test_serial.cmake)
  set(silent WebRtcSession.EachSideNoticesASilentPeerAndItsReturnAndAnUnreachablePeerFails)
  file(WRITE ${serial_file} "foreach(t IN LISTS webrtc_test_TESTS)\n  if(t STREQUAL ${silent})\n"
    "    set_tests_properties(${silent} PROPERTIES RUN_SERIAL TRUE)\n  endif()\nendforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${serial_file})
endif()
