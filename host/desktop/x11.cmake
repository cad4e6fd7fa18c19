# The desktop layer on X11: connection, displays, capture, input, keep-awake, permissions.
pkg_check_modules(XCB_DAMAGE REQUIRED IMPORTED_TARGET xcb-damage)
quill_library(quill_host_x11
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/x11_connection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/display_info.cpp
    ${CMAKE_CURRENT_LIST_DIR}/screen_capture_engine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hid_keycodes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/input_injector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xtest_event_sink.cpp
    ${CMAKE_CURRENT_LIST_DIR}/display_keep_awake.cpp
    ${CMAKE_CURRENT_LIST_DIR}/platform_permissions.cpp
  DEPS quill_base quill_control PkgConfig::XCB PkgConfig::XCB_DAMAGE Threads::Threads)

# The logic above the X server, with fakes.
quill_test(quill_host_x11_logic_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/input_injector_test.cpp
  DEPS quill_host_x11)

# Against a real X server: each test starts its own Xvfb.
quill_test(quill_host_x11_test
  LABELS x11
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/screen_capture_engine_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xtest_event_sink_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/x11_desktop_test.cpp
  DEPS quill_host_x11 quill_host_cursor)

# The captured screen through a real WebRTC session (an X server and a network namespace).
if(TARGET quill_session_core)
  quill_test(quill_host_capture_session_test
    LABELS e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/screen_capture_session_test.cpp
    DEPS quill_host_x11 quill_session_core)
endif()
