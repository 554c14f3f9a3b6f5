# One executable per file of tests/unit, all on the simulated platform and labelled `sim`
# (ctest -L sim), the set scripts/mutate.sh runs against each mutant.
if(NOT KVN_BUILD_TESTS)
  return()
endif()
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

# The model of what Korvane makes of each message: the oracle every MIDI test compares against.
add_library(kvn_oracle STATIC ${CMAKE_SOURCE_DIR}/tests/oracle/model.cpp ${CMAKE_SOURCE_DIR}/tests/oracle/compare.cpp
                              ${CMAKE_SOURCE_DIR}/tests/oracle/generator.cpp)
target_include_directories(kvn_oracle PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_oracle PRIVATE kvn_warnings)

add_library(kvn_test_support STATIC ${CMAKE_SOURCE_DIR}/tests/support/app_fixture.cpp
                                    ${CMAKE_SOURCE_DIR}/tests/support/engine_fixture.cpp)
target_link_libraries(kvn_test_support PUBLIC kvn_ui kvn_platform_sim kvn_oracle GTest::gtest PRIVATE kvn_warnings)
target_compile_definitions(kvn_test_support PUBLIC KVN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

set(KVN_UNIT_TESTS
    oracle_stream_test
    interleave_test
    engine_test
    sysex_test
    ports_test
    panel_test
    shell_test
    profile_test
    bmp_test
    skin_files_test)
foreach(name ${KVN_UNIT_TESTS})
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/unit/${name}.cpp)
  target_link_libraries(${name} PRIVATE kvn_test_support GTest::gtest_main kvn_warnings)
  set(workdir ${CMAKE_BINARY_DIR}/testrun/${name})
  file(MAKE_DIRECTORY ${workdir})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${workdir} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS sim)
endforeach()
