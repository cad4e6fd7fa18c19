quill_library(quill_host_activity_log
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/activity_log.cpp
  DEPS quill_base Qt6::Core)

quill_test(quill_host_activity_log_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/activity_log_test.cpp
  DEPS quill_host_activity_log)
