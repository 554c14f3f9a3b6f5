if(NOT KVN_BUILD_BENCH)
  return()
endif()
find_package(benchmark QUIET)
if(NOT benchmark_FOUND)
  message(STATUS "Google Benchmark not found: bench/ is not built")
  return()
endif()
file(GLOB KVN_BENCHES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*_bench.cpp)
foreach(src ${KVN_BENCHES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE kvn_engine kvn_platform_sim benchmark::benchmark kvn_warnings)
endforeach()

# ---- kvn over JACK, measured from outside (bench/jack) ------------------------------------------
# Latency against a direct connection and a reference relay (jack_relay), the highest rate passed
# whole and idle CPU (jack_e2e_bench), and the cost of a real panel paint on the SDL platform
# (kvn_paint_bench); the SDL adapter's 10 ms timer and a panel-like paint (sdl_measure). They
# need real servers: run them under tests/sdl/run_with.sh, as bench/jack/README.md says.
if(TARGET kvn AND TARGET kvn_e2e_support)
  add_executable(jack_relay ${CMAKE_SOURCE_DIR}/bench/jack/jack_relay.cpp)
  target_link_libraries(jack_relay PRIVATE PkgConfig::KVN_JACK kvn_warnings)
  add_executable(jack_e2e_bench ${CMAKE_SOURCE_DIR}/bench/jack/jack_e2e_bench.cpp
                                ${CMAKE_SOURCE_DIR}/bench/jack/stream_client.cpp)
  target_link_libraries(jack_e2e_bench PRIVATE kvn_e2e_support kvn_warnings)
  target_compile_definitions(jack_e2e_bench PRIVATE KVN_BENCH_RELAY="$<TARGET_FILE:jack_relay>")
  add_dependencies(jack_e2e_bench kvn jack_relay)
  add_executable(kvn_paint_bench ${CMAKE_SOURCE_DIR}/bench/jack/kvn_paint_bench.cpp)
  target_link_libraries(kvn_paint_bench PRIVATE kvn_ui kvn_e2e_support kvn_warnings)
  add_dependencies(kvn_paint_bench kvn)
  add_executable(sdl_measure ${CMAKE_SOURCE_DIR}/bench/sdl_measure.cpp)
  target_link_libraries(sdl_measure PRIVATE kvn_sdl_test_support kvn_warnings)
endif()
