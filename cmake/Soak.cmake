# bench/soak: random MIDI played through kvn over JACK and compared, message by message, with what
# kvn promises to make of it. Needs kvn and the end-to-end support (built with the tests):
#   tests/sdl/run_with.sh --wm --jack -- build/soak --messages=1000000 --seed=1
# The server runs synchronously (--jack): on a busy machine an asynchronous one lets a client read a
# MIDI buffer while its writer rewrites it for the next period, and a few messages in ten thousand
# are then lost, repeated or replaced by older ones on the way, which the exact comparison reports.
if(NOT (TARGET kvn AND TARGET kvn_e2e_support))
  return()
endif()

file(GLOB KVN_SOAK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/soak/*.cpp)
list(FILTER KVN_SOAK_SOURCES EXCLUDE REGEX "_test\\.cpp$")
add_executable(soak ${KVN_SOAK_SOURCES})
target_link_libraries(soak PRIVATE kvn_e2e_support kvn_oracle kvn_warnings)
add_dependencies(soak kvn)

if(KVN_BUILD_TESTS)
  # The soak's model and comparison on their own, without servers.
  add_executable(soak_model_test ${CMAKE_SOURCE_DIR}/bench/soak/soak_model_test.cpp)
  target_link_libraries(soak_model_test PRIVATE kvn_e2e_support kvn_oracle GTest::gtest_main kvn_warnings)
  gtest_discover_tests(soak_model_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

  # A short soak among the end-to-end tests: twenty thousand messages, about five seconds of playing.
  # kvn is closed in order at the end, so no client is left behind to hold the synchronous server up.
  set(workdir ${CMAKE_BINARY_DIR}/testrun/soak)
  file(MAKE_DIRECTORY ${workdir})
  add_test(NAME Soak.TwentyThousandRandomMessagesThroughKvn
           COMMAND ${CMAKE_SOURCE_DIR}/tests/sdl/run_with.sh --wm --jack --
                   $<TARGET_FILE:soak> --messages=20000 --seed=20000 --workdir=${workdir})
  set_tests_properties(Soak.TwentyThousandRandomMessagesThroughKvn PROPERTIES
                       LABELS e2e TIMEOUT 120 RESOURCE_LOCK kvn_jackd WORKING_DIRECTORY ${workdir})
endif()
