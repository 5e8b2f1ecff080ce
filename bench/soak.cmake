# bench_soak: many small downloads through the window's runner with rows
# deleted and re-sorted meanwhile; memory and descriptors before and after.
if(TARGET larkvale_app)
  add_executable(bench_soak
    ${CMAKE_CURRENT_LIST_DIR}/soak.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/media_fixtures.cpp)
  target_include_directories(bench_soak PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_soak PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_soak PRIVATE larkvale_app Qt6::Widgets)
endif()
