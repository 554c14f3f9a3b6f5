# bench/: measurements, not tests; figures and the commands that took them in bench/RESULTS.md.
if(NOT KVN_BUILD_BENCH)
  return()
endif()
find_package(benchmark QUIET)
if(NOT benchmark_FOUND)
  message(STATUS "Google Benchmark not found: bench/ is not built")
  return()
endif()
# The engine's cost per message, by kind, on the simulated platform.
add_executable(engine_bench ${CMAKE_SOURCE_DIR}/bench/engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE kvn_ui kvn_platform_sim benchmark::benchmark kvn_warnings)

# kvn on the real platform, under tests/sdl/run_with.sh (servers of its own): its latency over JACK
# beside a direct link (jack_e2e_bench), and the adapter's timer and a real panel paint (kvn_measure).
if(TARGET kvn AND TARGET kvn_e2e_support)
  add_executable(jack_e2e_bench ${CMAKE_SOURCE_DIR}/bench/jack_e2e_bench.cpp)
  target_link_libraries(jack_e2e_bench PRIVATE kvn_e2e_support kvn_warnings)
  add_dependencies(jack_e2e_bench kvn)
  add_executable(kvn_measure ${CMAKE_SOURCE_DIR}/bench/kvn_measure.cpp)
  target_link_libraries(kvn_measure PRIVATE kvn_ui kvn_e2e_support kvn_warnings)
  add_dependencies(kvn_measure kvn)
endif()
