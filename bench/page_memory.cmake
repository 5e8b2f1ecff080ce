# bench_page_memory: the peak memory of the Download action and of
# `larkvale download` fetching and searching a 100 MiB page (past the limit,
# its video link at the end) and a 60 MiB page with its link at the end,
# against curl saving the same page.
add_executable(bench_page_memory
  ${CMAKE_CURRENT_LIST_DIR}/page_memory.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/nginx_server.cpp)
target_include_directories(bench_page_memory PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
target_compile_definitions(bench_page_memory PRIVATE LARKVALE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(bench_page_memory PRIVATE larkvale_queue larkvale_http larkvale_extract Qt6::Core)
