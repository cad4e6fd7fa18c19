# HostModel (one class over several files by concern) and the cursor broadcaster.
if(TARGET quill_session_roles)
  quill_library(quill_host_model
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/host_model.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_activity.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_admission.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_capture.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_connections.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_control.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_lifecycle.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_pairing.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_prompt.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_sharing.cpp
      ${CMAKE_CURRENT_LIST_DIR}/cursor_broadcaster.cpp
      ${CMAKE_CURRENT_LIST_DIR}/locale_dates.cpp
    DEPS quill_host_runtime quill_host_activity_log quill_host_x11 quill_host_cursor quill_session_roles
         quill_pairing quill_discovery quill_transport quill_envelope quill_identity quill_crypto Qt6::Core Qt6::Gui Qt6::Widgets QCoro6::Core)

  quill_test(quill_host_model_test
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/host_model_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/host_model_admission_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/cursor_broadcaster_test.cpp
    DEPS quill_host_model quill_dnssd_fake quill_keychain)

  quill_test(quill_host_model_prompt_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_model_prompt_test.cpp
    DEPS quill_host_model)
endif()
