# bench_runner_download: the window's queue runner fetching a large file from
# a loopback nginx, against curl; and the memory it takes meanwhile.
if(TARGET larkvale_app)
  add_executable(bench_runner_download
    ${CMAKE_CURRENT_LIST_DIR}/runner_download.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
  target_include_directories(bench_runner_download PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_runner_download PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_runner_download PRIVATE larkvale_app Qt6::Widgets)
endif()
