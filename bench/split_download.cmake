# bench_split_download: `larkvale download` over several connections from
# paced loopback nginx servers, against aria2c -x4 -s4 and curl.
add_executable(bench_split_download
  ${CMAKE_CURRENT_LIST_DIR}/split_download.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
target_include_directories(bench_split_download PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
target_compile_definitions(bench_split_download PRIVATE LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
if(TARGET larkvale)
  add_dependencies(bench_split_download larkvale)
endif()
