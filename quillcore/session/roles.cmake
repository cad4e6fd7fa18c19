# Host and controller session roles, on the session core (so only where the WebRTC layer is).
if(TARGET quill_session_core)
  quill_library(quill_session_roles
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_session.cpp ${CMAKE_CURRENT_LIST_DIR}/controller_session.cpp
            ${CMAKE_CURRENT_LIST_DIR}/role_link.cpp
    DEPS quill_session_core quill_transport quill_envelope quill_identity quill_crypto quill_net)

  quill_test(quill_session_roles_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_roles_test.cpp
    DEPS quill_session_roles)
endif()
