# Real DNS-SD between two network namespaces; scripts/harness/netns provides them.
add_executable(quill_discovery_peer ${CMAKE_CURRENT_LIST_DIR}/discovery_peer.cpp)
target_compile_options(quill_discovery_peer PRIVATE ${QUILL_WARNINGS})
target_link_libraries(quill_discovery_peer PRIVATE quill_discovery quill_transport)

quill_test(quill_discovery_netns_test LABELS netns TIMEOUT 240
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/discovery_netns_test.cpp
  DEPS quill_discovery quill_transport quill_crypto)
target_compile_definitions(quill_discovery_netns_test PRIVATE
  QUILL_DISCOVERY_PEER="$<TARGET_FILE:quill_discovery_peer>")
add_dependencies(quill_discovery_netns_test quill_discovery_peer)
