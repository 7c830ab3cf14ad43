# Simulator benchmark (figures for docs/performance.md, "Simulator").
add_executable(bench_sim ${CMAKE_SOURCE_DIR}/bench/bench_sim.cpp ${CMAKE_SOURCE_DIR}/tests/support/sim_child.cpp)
target_include_directories(bench_sim PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_compile_definitions(bench_sim PRIVATE PELMORA_BUILD_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
target_link_libraries(bench_sim PRIVATE pelmora_client)
add_dependencies(bench_sim pelmora-sim)
