# Zone conversion benchmark; included from bench/CMakeLists.txt.
add_executable(bench_localtime_tz ${CMAKE_CURRENT_LIST_DIR}/bench_localtime_tz.cpp)
target_link_libraries(bench_localtime_tz PRIVATE pelmora_foundation)
