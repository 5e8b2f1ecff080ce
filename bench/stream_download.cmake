# bench_stream_download: an HLS stream on a paced loopback nginx, downloaded
# by the queue runner and by `larkvale download`, against ffmpeg's copy and
# yt-dlp with 4 fragments at once.
if(TARGET larkvale_queue AND TARGET larkvale)
  add_executable(bench_stream_download
    ${CMAKE_CURRENT_LIST_DIR}/stream_download.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
  target_include_directories(bench_stream_download PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_stream_download PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_stream_download PRIVATE larkvale_queue Qt6::Core)
  add_dependencies(bench_stream_download larkvale)
endif()
