if(TARGET quill_session_core)
  # The other side of a session in a process of its own, for the tests that stop it.
  add_executable(webrtc_test_peer webrtc_peer_main.cpp)
  target_compile_options(webrtc_test_peer PRIVATE ${QUILL_WARNINGS})
  target_include_directories(webrtc_test_peer PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(webrtc_test_peer PRIVATE quill_session_core Threads::Threads)

  quill_test(webrtc_test LABELS webrtc TIMEOUT 180
    SOURCES webrtc_session_test.cpp
    DEPS quill_session_core)
  add_dependencies(webrtc_test webrtc_test_peer)
  target_compile_definitions(webrtc_test PRIVATE QUILL_WEBRTC_TEST_PEER="$<TARGET_FILE:webrtc_test_peer>")
endif()
