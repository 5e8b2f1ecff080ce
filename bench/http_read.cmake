# bench_http_read: a 1 GiB counted body from a loopback nginx through the
# client's ReadToStream into a file, against curl and a bare recv loop.
add_executable(bench_http_read
  ${CMAKE_CURRENT_LIST_DIR}/http_read.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
target_include_directories(bench_http_read PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
target_compile_definitions(bench_http_read PRIVATE LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(bench_http_read PRIVATE larkvale_http Threads::Threads)
