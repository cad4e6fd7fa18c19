# Capture and input injection on an X server (run under scripts/harness/x11).
if(TARGET quill_host_x11)
  quill_bench(desktop_bench SOURCES desktop_bench.cpp DEPS quill_host_x11)
endif()
