if(TARGET quill_session_core AND QUILL_BENCH)
  # The host side in a process of its own, so that its CPU time and page faults are its own.
  add_executable(webrtc_bench_peer ${CMAKE_CURRENT_SOURCE_DIR}/webrtc_peer_main.cpp)
  target_include_directories(webrtc_bench_peer PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_link_libraries(webrtc_bench_peer PRIVATE quill_session_core Threads::Threads)
  quill_bench(webrtc_bench SOURCES webrtc_bench.cpp DEPS quill_session_core)
  add_dependencies(webrtc_bench webrtc_bench_peer)
  target_compile_definitions(webrtc_bench PRIVATE QUILL_WEBRTC_BENCH_PEER="$<TARGET_FILE:webrtc_bench_peer>")
endif()
