# Portable helpers every adapter may use (the bitmap codec).
file(GLOB KVN_COMMON_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.cpp)
add_library(kvn_common STATIC ${KVN_COMMON_SOURCES})
target_include_directories(kvn_common PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_common PRIVATE kvn_warnings)

# The portable core. It talks to the world only through platform/platform.h and window.h; which
# adapter provides those functions is decided when a program or test is linked.
file(GLOB KVN_CORE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/engine/*.cpp
  ${CMAKE_SOURCE_DIR}/shell/*.cpp
  ${CMAKE_SOURCE_DIR}/panel/*.cpp
  ${CMAKE_SOURCE_DIR}/picker/*.cpp)
add_library(kvn_core STATIC ${KVN_CORE_SOURCES})
target_include_directories(kvn_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_core PUBLIC kvn_common PRIVATE kvn_warnings)
