# bench_engine_convert: a 60 s 640x360 clip converted by TVideoEngine to each
# of the 19 output formats against the ffmpeg CLI doing the same encode, and
# in-process probing against spawning ffprobe.
if(TARGET larkvale_engine)
  add_executable(bench_engine_convert
    ${CMAKE_CURRENT_LIST_DIR}/engine_convert.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/media_fixtures.cpp)
  target_include_directories(bench_engine_convert PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR})
  target_link_libraries(bench_engine_convert PRIVATE larkvale_engine Qt6::Widgets Threads::Threads)
endif()
# The `larkvale convert` line runs the command-line program beside it.
if(TARGET bench_engine_convert AND TARGET larkvale)
  add_dependencies(bench_engine_convert larkvale)
endif()
# The Zune line reads its profile from the data copied beside the program.
if(TARGET bench_engine_convert AND TARGET larkvale_data)
  add_dependencies(bench_engine_convert larkvale_data)
endif()
