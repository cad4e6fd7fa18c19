# The system cursor's image and the pointer position, from the X server (XFixes, QueryPointer).
quill_library(quill_host_cursor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cursor_image.cpp
  DEPS quill_host_x11 PkgConfig::XCB)
