# Untrusted input of pairing: the link a controller scans and the messages a peer sends.
quill_fuzz(pairing_link_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pairing_link_fuzz.cpp
  DEPS quill_pairing
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/pairing_link_fuzz)

quill_fuzz(pairing_message_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pairing_message_fuzz.cpp
  DEPS quill_pairing
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/pairing_message_fuzz)
