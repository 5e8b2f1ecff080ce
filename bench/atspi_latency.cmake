# bench_atspi_latency: how soon the real window answers a screen reader
# (through AT-SPI, under Xvfb with openbox) while a conversion runs. A
# script; copied beside the program it starts.
if(TARGET Larkvale_HD)
  set(atspi_latency_out ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/bench_atspi_latency)
  add_custom_command(OUTPUT ${atspi_latency_out}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/atspi_latency.py ${atspi_latency_out}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/atspi_latency.py)
  add_custom_target(bench_atspi_latency ALL DEPENDS ${atspi_latency_out})
  add_dependencies(bench_atspi_latency Larkvale_HD)
endif()
