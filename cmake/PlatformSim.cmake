add_library(kvn_platform_sim STATIC ${CMAKE_SOURCE_DIR}/platform/sim/sim.cpp
                                    ${CMAKE_SOURCE_DIR}/platform/sim/sim_window.cpp)
target_include_directories(kvn_platform_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_platform_sim PUBLIC kvn_common PRIVATE kvn_warnings)
