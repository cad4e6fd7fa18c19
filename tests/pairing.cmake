# Pairing end to end: two devices with file-backed keychains over loopback TCP.
quill_test(quill_pairing_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pairing_e2e_test.cpp
  DEPS quill_pairing quill_keychain)
