# The threaded stress test of the engine (tests/stress), only in a ThreadSanitizer build:
#   cmake -S . -B build-tsan -DKVN_SANITIZE=thread
if(KVN_SANITIZE STREQUAL "thread")
  enable_testing()
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/stress ${CMAKE_BINARY_DIR}/tests/stress)
endif()
