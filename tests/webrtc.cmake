if(TARGET quill_session_core)
  quill_test(webrtc_test LABELS webrtc TIMEOUT 180
    SOURCES webrtc_session_test.cpp
    DEPS quill_session_core)
  # A peer in a process of its own, which a test can kill: the benchmarks' peer program.
  add_executable(webrtc_test_peer ${PROJECT_SOURCE_DIR}/bench/webrtc_peer_main.cpp)
  target_include_directories(webrtc_test_peer PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(webrtc_test_peer PRIVATE quill_session_core Threads::Threads)
  add_dependencies(webrtc_test webrtc_test_peer)
  target_compile_definitions(webrtc_test PRIVATE QUILL_WEBRTC_TEST_PEER="$<TARGET_FILE:webrtc_test_peer>")
  # This one takes the namespace's loopback down for a while: nothing may run beside it.
  set(serial_file ${CMAKE_CURRENT_BINARY_DIR}/webrtc_test_serial.cmake)
  set(silent WebRtcSession.EachSideNoticesASilentPeerAndItsReturnAndAnUnreachablePeerFails)
  file(WRITE ${serial_file} "foreach(t IN LISTS webrtc_test_TESTS)\n  if(t STREQUAL ${silent})\n"
    "    set_tests_properties(${silent} PROPERTIES RUN_SERIAL TRUE)\n  endif()\nendforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${serial_file})
endif()
