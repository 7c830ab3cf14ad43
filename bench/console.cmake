# Console benchmark harness (figures for docs/performance.md, "Console"); run
# through bench/console, which starts the simulator and a virtual display.
add_executable(console_harness
  ${CMAKE_CURRENT_LIST_DIR}/console_harness/console_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console_harness/console_probe.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/grid_probe.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/sim_child.cpp
  ${CMAKE_SOURCE_DIR}/tests/engine/engine_support.cpp)
target_include_directories(console_harness PRIVATE ${CMAKE_CURRENT_LIST_DIR}/console_harness
  ${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_SOURCE_DIR}/tests/engine)
target_link_libraries(console_harness PRIVATE pelmora_ui)
add_dependencies(console_harness pelmora-sim pelmora-ctl PelmoraBoxUI)
