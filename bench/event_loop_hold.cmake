# bench_event_loop_hold: the longest time the window's event loop is held
# while a transfer is stuck on a stalling loopback server.
if(TARGET larkvale_app)
  add_executable(bench_event_loop_hold
    ${CMAKE_CURRENT_LIST_DIR}/event_loop_hold.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/scripted_server.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/media_fixtures.cpp)
  target_include_directories(bench_event_loop_hold PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_event_loop_hold PRIVATE
    LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(bench_event_loop_hold PRIVATE larkvale_app Qt6::Widgets)
endif()
