# bench_window_download: the real program (start page, hand-over of a watch
# page's address) downloading a large file from a loopback nginx, against curl.
if(TARGET Larkvale_HD)
  add_executable(bench_window_download
    ${CMAKE_CURRENT_LIST_DIR}/window_download.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
  target_include_directories(bench_window_download PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_window_download PRIVATE LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(bench_window_download PRIVATE Qt6::Core)
  add_dependencies(bench_window_download Larkvale_HD)
endif()
