# The soak (tests/e2e/soak.cpp): random MIDI played through kvn over JACK and compared, message by
# message, with the model of tests/oracle. A short one runs among the end-to-end tests; a long one
# by hand:  tests/sdl/run_with.sh --wm --jack -- build/soak --messages=1000000 --seed=1
# The server runs synchronously (--jack): on a busy machine an asynchronous one lets a client read a
# MIDI buffer while its writer rewrites it, which the exact comparison reports (bench/RESULTS.md).
if(NOT KVN_BUILD_TESTS OR NOT TARGET GTest::gtest_main)
  return()
endif()
include(GoogleTest)

# The comparison on its own, without servers.
add_executable(oracle_compare_test ${CMAKE_SOURCE_DIR}/tests/oracle/compare_test.cpp)
target_link_libraries(oracle_compare_test PRIVATE kvn_oracle GTest::gtest_main kvn_warnings)
gtest_discover_tests(oracle_compare_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

if(NOT (TARGET kvn AND TARGET kvn_e2e_support))
  return()
endif()
add_executable(soak ${CMAKE_SOURCE_DIR}/tests/e2e/soak.cpp)
target_link_libraries(soak PRIVATE kvn_e2e_support kvn_oracle kvn_warnings)
add_dependencies(soak kvn)

# Twenty thousand messages, about five seconds of playing (fewer in the ThreadSanitizer run of kvn,
# scripts/check-sanitizers.sh). kvn is closed in order at the end, so no client is left behind to
# hold the synchronous server up.
set(KVN_SOAK_MESSAGES 20000 CACHE STRING "How many messages the soak among the end-to-end tests plays")
set(workdir ${CMAKE_BINARY_DIR}/testrun/soak)
file(MAKE_DIRECTORY ${workdir})
add_test(NAME Soak.RandomMessagesThroughKvn
         COMMAND ${CMAKE_SOURCE_DIR}/tests/sdl/run_with.sh --wm --jack --
                 $<TARGET_FILE:soak> --messages=${KVN_SOAK_MESSAGES} --seed=20000 --workdir=${workdir})
set_tests_properties(Soak.RandomMessagesThroughKvn PROPERTIES
                     LABELS e2e TIMEOUT 120 RESOURCE_LOCK kvn_jackd WORKING_DIRECTORY ${workdir})
