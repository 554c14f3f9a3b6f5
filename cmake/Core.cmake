# Portable helpers every adapter may use (the bitmap codec, device names).
add_library(kvn_common STATIC
  ${CMAKE_SOURCE_DIR}/platform/bmp.cpp
  ${CMAKE_SOURCE_DIR}/platform/device_name.cpp)
target_include_directories(kvn_common PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_common PRIVATE kvn_warnings)

# The portable core, in two layers. It talks to the world only through the headers of platform/;
# which adapter provides those functions is decided when a program or test is linked.
#
# kvn_engine: the MIDI engine. It sees nothing above it: its sources are compiled against a folder
# that holds only engine/ and platform/, so including a header of the shell, the panel or the
# picker fails to compile, and kvn_engine_alone below fails to link when engine code uses anything
# they define.
set(KVN_ENGINE_INCLUDE ${CMAKE_BINARY_DIR}/layers/engine)
file(MAKE_DIRECTORY ${KVN_ENGINE_INCLUDE})
foreach(dir engine platform)
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${dir} ${KVN_ENGINE_INCLUDE}/${dir} SYMBOLIC)
endforeach()
add_library(kvn_engine STATIC
  ${CMAKE_SOURCE_DIR}/engine/commands.cpp
  ${CMAKE_SOURCE_DIR}/engine/ports.cpp
  ${CMAKE_SOURCE_DIR}/engine/state.cpp
  ${CMAKE_SOURCE_DIR}/engine/sysex_in.cpp
  ${CMAKE_SOURCE_DIR}/engine/sysex_out.cpp
  ${CMAKE_SOURCE_DIR}/engine/tables.cpp
  ${CMAKE_SOURCE_DIR}/engine/thru.cpp
  ${CMAKE_SOURCE_DIR}/engine/timer.cpp
  ${CMAKE_SOURCE_DIR}/engine/tune.cpp)
target_include_directories(kvn_engine PRIVATE ${KVN_ENGINE_INCLUDE} INTERFACE ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_engine PRIVATE kvn_warnings)

# kvn_ui: the application shell, the panel and the device picker, on top of the engine.
add_library(kvn_ui STATIC
  ${CMAKE_SOURCE_DIR}/shell/app.cpp
  ${CMAKE_SOURCE_DIR}/shell/command_line.cpp
  ${CMAKE_SOURCE_DIR}/shell/globals.cpp
  ${CMAKE_SOURCE_DIR}/shell/main_frame.cpp
  ${CMAKE_SOURCE_DIR}/shell/profile.cpp
  ${CMAKE_SOURCE_DIR}/shell/settings.cpp
  ${CMAKE_SOURCE_DIR}/panel/state.cpp
  ${CMAKE_SOURCE_DIR}/panel/view.cpp
  ${CMAKE_SOURCE_DIR}/picker/picker.cpp)
target_include_directories(kvn_ui PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_ui PUBLIC kvn_engine PRIVATE kvn_warnings)

# Every object of the engine linked with the simulated platform and nothing above: a reference
# from the engine to the shell, the panel or the picker is an undefined symbol here.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/layers/engine_alone.cpp CONTENT "int main() { return 0; }\n")
add_executable(kvn_engine_alone ${CMAKE_BINARY_DIR}/layers/engine_alone.cpp)
target_link_libraries(kvn_engine_alone PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kvn_engine>" kvn_platform_sim)
