# Host advertiser (TCP listener + DNS-SD publication) and host browser.
quill_library(quill_discovery
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_advertiser.cpp ${CMAKE_CURRENT_LIST_DIR}/host_browser.cpp
  DEPS quill_base quill_net quill_dnssd)

quill_test(quill_discovery_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_advertiser_test.cpp ${CMAKE_CURRENT_LIST_DIR}/host_browser_test.cpp
  DEPS quill_discovery quill_dnssd_fake quill_transport)
