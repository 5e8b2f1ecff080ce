# bench_rows_at_once: the window's runner downloading many files from several
# loopback nginx servers with "Downloads at once", against curl fetching the
# same files one after the other.
if(TARGET larkvale_app)
  add_executable(bench_rows_at_once
    ${CMAKE_CURRENT_LIST_DIR}/rows_at_once.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
  target_include_directories(bench_rows_at_once PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_rows_at_once PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_rows_at_once PRIVATE larkvale_app Qt6::Widgets)
endif()
