# bench_http_read: a 1 GiB counted body from a loopback nginx through the
# client's ReadToStream into a file, against curl and a bare recv loop; the
# same over https against the client over http.
add_executable(bench_http_read
  ${CMAKE_CURRENT_LIST_DIR}/http_read.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/tls_certificates.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/media_fixtures.cpp)
target_include_directories(bench_http_read PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
target_compile_definitions(bench_http_read PRIVATE LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(bench_http_read PRIVATE larkvale_http Threads::Threads)
