# DNS-SD publication and browsing on the Avahi client library, and an in-process fake for tests.
pkg_check_modules(QUILL_DNSSD_DBUS REQUIRED IMPORTED_TARGET dbus-1)  # comes with libavahi-client-dev
quill_library(quill_dnssd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dnssd.cpp ${CMAKE_CURRENT_LIST_DIR}/dnssd_avahi.cpp
  DEPS quill_base PkgConfig::AVAHI PkgConfig::QUILL_DNSSD_DBUS Threads::Threads)

quill_library(quill_dnssd_fake
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dnssd_fake.cpp
  DEPS quill_dnssd)

quill_test(quill_dnssd_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dnssd_test.cpp
  DEPS quill_dnssd)
