# The desktop services beside X11: notifications and file reveal over D-Bus, the autostart
# login item, local addresses and the QR image.
quill_library(quill_host_desktop_support
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/local_addresses.cpp
    ${CMAKE_CURRENT_LIST_DIR}/qr_code_image.cpp
    ${CMAKE_CURRENT_LIST_DIR}/notifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/url_opener.cpp
    ${CMAKE_CURRENT_LIST_DIR}/autostart_entry.cpp
  DEPS quill_base Qt6::Core Qt6::Gui Qt6::DBus PkgConfig::QRENCODE)

quill_test(quill_host_desktop_support_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/desktop_support_test.cpp
  DEPS quill_host_desktop_support)

# Against fake notification and file-manager services on a private session bus.
quill_test(quill_host_desktop_dbus_test
  LABELS dbus
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/desktop_dbus_test.cpp
  DEPS quill_host_desktop_support)

# The real interface list, inside a network namespace of the test's own.
quill_test(quill_host_local_addresses_netns_test
  LABELS netns
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/local_addresses_netns_test.cpp
  DEPS quill_host_desktop_support)
