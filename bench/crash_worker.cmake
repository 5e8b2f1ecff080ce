# crash_worker: the work scripts/crash-safety.sh kills (a start, "Change dir",
# a download, a conversion), done by the real window and engine.
if(TARGET larkvale_app)
  add_executable(crash_worker ${CMAKE_CURRENT_LIST_DIR}/crash_worker.cpp)
  target_include_directories(crash_worker PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_compile_definitions(crash_worker PRIVATE LARKVALE_APPDIR="${LARKVALE_APPDIR}/")
  target_link_libraries(crash_worker PRIVATE larkvale_app Qt6::Widgets)
endif()
