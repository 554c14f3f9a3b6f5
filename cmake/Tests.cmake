# One executable per tests/unit/*_test.cpp, all on the simulated platform and labelled `sim`
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

file(GLOB KVN_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(kvn_test_support STATIC ${KVN_TEST_SUPPORT} ${CMAKE_SOURCE_DIR}/tests/support/empty.cpp)
target_link_libraries(kvn_test_support PUBLIC kvn_ui kvn_platform_sim GTest::gtest PRIVATE kvn_warnings)
target_compile_definitions(kvn_test_support PUBLIC KVN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

file(GLOB KVN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
foreach(src ${KVN_UNIT_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE kvn_test_support kvn_ui kvn_platform_sim GTest::gtest_main kvn_warnings)
  set(workdir ${CMAKE_BINARY_DIR}/testrun/${name})
  file(MAKE_DIRECTORY ${workdir})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${workdir} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS sim)
endforeach()
