file(GLOB KVN_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/sim/*.cpp)
add_library(kvn_platform_sim STATIC ${KVN_SIM_SOURCES})
target_include_directories(kvn_platform_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_platform_sim PUBLIC kvn_common PRIVATE kvn_warnings)
