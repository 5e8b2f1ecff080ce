# bench_many_files: many small files through the window's runner against aria2 and
# curl, and long lists: start-up, idle cost and holds of the window.
if(TARGET larkvale_app)
  add_executable(bench_many_files
    ${CMAKE_CURRENT_LIST_DIR}/many_files.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
  target_include_directories(bench_many_files PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_many_files PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_many_files PRIVATE larkvale_app Qt6::Widgets)
endif()
