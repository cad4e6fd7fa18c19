# The host model on Xvfb with a controller over real WebRTC on loopback.
if(TARGET quill_host_model)
  quill_test(host_e2e_test LABELS e2e
    SOURCES host_e2e_test.cpp
    DEPS quill_host_model quill_dnssd_fake)
endif()
