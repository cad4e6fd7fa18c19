# The host application against a controller, beside the bare grab + conversion + x264 pipeline
# it is measured against (run inside scripts/harness/webrtc and scripts/harness/x11).
if(TARGET quillmate-host AND TARGET quill_session_roles AND QUILL_BENCH AND QUILL_LIBYUV_LIBRARY)
  pkg_check_modules(BENCH_GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-app-1.0 gstreamer-video-1.0)
  add_executable(bare_pipeline ${CMAKE_CURRENT_LIST_DIR}/bare_pipeline_main.cpp)
  target_compile_options(bare_pipeline PRIVATE ${QUILL_WARNINGS})
  target_include_directories(bare_pipeline PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  target_include_directories(bare_pipeline SYSTEM PRIVATE ${QUILL_LIBYUV_INCLUDE})
  target_link_libraries(bare_pipeline PRIVATE quill_host_x11 PkgConfig::BENCH_GST ${QUILL_LIBYUV_LIBRARY})

  quill_bench(host_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_bench.cpp DEPS quill_session_roles quill_host_x11)
  target_compile_definitions(host_bench PRIVATE QUILL_HOST_BINARY="$<TARGET_FILE:quillmate-host>"
                                                QUILL_BARE_PIPELINE="$<TARGET_FILE:bare_pipeline>")
  add_dependencies(host_bench quillmate-host bare_pipeline)
endif()
