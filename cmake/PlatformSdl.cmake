# kvn: the Linux (and macOS) build on SDL2, SDL2_ttf, libjack and alsa-lib,
# and the adapter's own tests
# (tests/sdl, run against real servers: a JACK server on its dummy driver, Xvfb, openbox).
# Built only when pkg-config finds all four libraries; what is missing is said at configure time
# (and stops it with -DKVN_REQUIRE_KVN=ON).
function(kvn_not_built why)
  if(KVN_REQUIRE_KVN)
    message(FATAL_ERROR "kvn cannot be built: ${why}")
  endif()
  message(STATUS "kvn is not built: ${why}")
endfunction()
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  kvn_not_built("pkg-config not found")
  return()
endif()
pkg_check_modules(KVN_SDL2 QUIET IMPORTED_TARGET sdl2)
pkg_check_modules(KVN_SDL2_TTF QUIET IMPORTED_TARGET SDL2_ttf)
pkg_check_modules(KVN_ALSA QUIET IMPORTED_TARGET alsa)
pkg_check_modules(KVN_JACK QUIET IMPORTED_TARGET jack)
set(missing "")
foreach(lib SDL2 SDL2_TTF JACK ALSA)
  if(NOT KVN_${lib}_FOUND)
    string(REPLACE "_TTF" "_ttf" name ${lib})
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  string(REPLACE ";" ", " missing "${missing}")
  kvn_not_built("missing ${missing} (Debian: libsdl2-dev libsdl2-ttf-dev libjack-jackd2-dev libasound2-dev)")
  return()
endif()
message(STATUS "kvn: SDL2 ${KVN_SDL2_VERSION}, SDL2_ttf ${KVN_SDL2_TTF_VERSION}, JACK ${KVN_JACK_VERSION}, alsa-lib ${KVN_ALSA_VERSION}")
pkg_check_modules(KVN_FONTCONFIG QUIET IMPORTED_TARGET fontconfig)
pkg_check_modules(KVN_X11 QUIET IMPORTED_TARGET x11)  # to end in order when the X server goes away
find_package(Threads REQUIRED)

# The three icons, compiled into the program.
set(KVN_ICON_DIR ${CMAKE_SOURCE_DIR}/resources/icons)
set(KVN_ICON_FILES 128=${KVN_ICON_DIR}/kvn_128_32.bmp 132=${KVN_ICON_DIR}/kvn_132.bmp 133=${KVN_ICON_DIR}/kvn_133.bmp)
set(KVN_ICON_DEPENDS "")
foreach(entry ${KVN_ICON_FILES})
  string(REGEX REPLACE "^[0-9]+=" "" path "${entry}")
  if(EXISTS ${path})
    list(APPEND KVN_ICON_DEPENDS ${path})
  endif()
endforeach()
if(EXISTS ${KVN_ICON_DIR})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KVN_ICON_DIR})  # an icon added later
endif()
set(KVN_ICONS_CPP ${CMAKE_BINARY_DIR}/generated/kvn_icons.cpp)
add_custom_command(
  OUTPUT ${KVN_ICONS_CPP}
  COMMAND ${CMAKE_COMMAND} "-DOUT=${KVN_ICONS_CPP}" "-DICONS=${KVN_ICON_FILES}"
          -P ${CMAKE_SOURCE_DIR}/platform/sdl/embed_icons.cmake
  DEPENDS ${KVN_ICON_DEPENDS} ${CMAKE_SOURCE_DIR}/platform/sdl/embed_icons.cmake
  COMMENT "Embedding the icons"
  VERBATIM)

set(KVN_SDL_SOURCES display.cpp draw.cpp font_find.cpp list.cpp midi.cpp midi_alsa.cpp midi_driver.cpp
                    midi_jack.cpp midi_names.cpp process.cpp timer.cpp window.cpp)
list(TRANSFORM KVN_SDL_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/platform/sdl/)
# The catalogue names, pure and apart, so that their tests need nothing else.
add_library(kvn_port_names STATIC ${CMAKE_SOURCE_DIR}/platform/sdl/port_names.cpp)
target_include_directories(kvn_port_names PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_port_names PRIVATE kvn_warnings)
add_library(kvn_platform_sdl STATIC ${KVN_SDL_SOURCES} ${KVN_ICONS_CPP})
target_include_directories(kvn_platform_sdl PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_platform_sdl
  PUBLIC kvn_common kvn_port_names PkgConfig::KVN_SDL2 PkgConfig::KVN_SDL2_TTF PkgConfig::KVN_JACK PkgConfig::KVN_ALSA Threads::Threads
  PRIVATE kvn_warnings)
if(KVN_FONTCONFIG_FOUND)
  target_link_libraries(kvn_platform_sdl PRIVATE PkgConfig::KVN_FONTCONFIG)
  target_compile_definitions(kvn_platform_sdl PRIVATE KVN_HAVE_FONTCONFIG)
endif()
if(KVN_X11_FOUND)
  target_link_libraries(kvn_platform_sdl PRIVATE PkgConfig::KVN_X11)
  target_compile_definitions(kvn_platform_sdl PRIVATE KVN_HAVE_X11)
endif()

add_executable(kvn ${CMAKE_SOURCE_DIR}/platform/sdl/main.cpp ${CMAKE_SOURCE_DIR}/platform/sdl/headless.cpp)
target_link_libraries(kvn PRIVATE kvn_ui kvn_platform_sdl kvn_warnings)
target_compile_definitions(kvn PRIVATE KVN_VERSION="${PROJECT_VERSION}")
# The skin goes next to the program, where it is looked for (under the current directory).
add_custom_command(TARGET kvn POST_BUILD
  COMMAND ${CMAKE_COMMAND} "-DFROM=${CMAKE_SOURCE_DIR}/resources/Bitmap" "-DTO=$<TARGET_FILE_DIR:kvn>/Bitmap"
          -P ${CMAKE_SOURCE_DIR}/platform/sdl/copy_skin.cmake
  VERBATIM)

# ---- Installation ------------------------------------------------------------------------------
# The program in libexec (it runs in the folder that holds its settings and skin), the "korvane"
# launcher that makes such a folder per user and starts it there, the skin, a desktop entry and
# its icon. The launcher finds the rest relative to itself, so the tree can be moved or staged. The
# desktop entry and its icon are named by the AppStream id, as software centres match them by it.
set(CMAKE_INSTALL_DOCDIR share/doc/korvane CACHE PATH "Documentation (named as the Debian package)")
include(GNUInstallDirs)
add_executable(kvn_icon_png ${CMAKE_SOURCE_DIR}/platform/sdl/tools/icon_png.cpp)
target_link_libraries(kvn_icon_png PRIVATE PkgConfig::KVN_SDL2 kvn_warnings)
set(KVN_ICON_PNGS "")
foreach(size 16 32)
  set(png ${CMAKE_BINARY_DIR}/generated/icons/korvane-${size}.png)
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/icons
    COMMAND kvn_icon_png ${KVN_ICON_DIR}/kvn_128_${size}.bmp ${png}
    DEPENDS kvn_icon_png ${KVN_ICON_DIR}/kvn_128_${size}.bmp
    COMMENT "Icon ${size}x${size} for the desktop entry"
    VERBATIM)
  list(APPEND KVN_ICON_PNGS ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME org.korvane.Korvane.png)
endforeach()
add_custom_target(kvn_desktop_icons ALL DEPENDS ${KVN_ICON_PNGS})

file(RELATIVE_PATH KVN_REL_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/korvane/kvn)
file(RELATIVE_PATH KVN_REL_SKIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/korvane/Bitmap)
configure_file(${CMAKE_SOURCE_DIR}/platform/sdl/korvane.sh ${CMAKE_BINARY_DIR}/generated/korvane @ONLY)

install(TARGETS kvn RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/korvane)
install(PROGRAMS ${CMAKE_BINARY_DIR}/generated/korvane DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/Bitmap/ DESTINATION ${CMAKE_INSTALL_DATADIR}/korvane/Bitmap
        FILES_MATCHING PATTERN "*.bmp")
install(FILES ${CMAKE_SOURCE_DIR}/platform/sdl/org.korvane.Korvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/docs/linux.md DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)

# ---- Adapter tests -----------------------------------------------------------------------------
if(NOT KVN_BUILD_TESTS OR NOT KVN_SYSTEM_TESTS)
  return()
endif()
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  message(STATUS "GoogleTest not found: tests/sdl are not built")
  return()
endif()
enable_testing()
include(GoogleTest)

add_library(kvn_sdl_test_support STATIC ${CMAKE_SOURCE_DIR}/tests/sdl/alsa_client.cpp
                                        ${CMAKE_SOURCE_DIR}/tests/sdl/jack_client.cpp
                                        ${CMAKE_SOURCE_DIR}/tests/sdl/midi_client.cpp
                                        ${CMAKE_SOURCE_DIR}/tests/sdl/support.cpp)
target_include_directories(kvn_sdl_test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_sdl_test_support
  PUBLIC kvn_platform_sdl PkgConfig::KVN_JACK PkgConfig::KVN_ALSA GTest::gtest PRIVATE kvn_warnings)
target_compile_definitions(kvn_sdl_test_support PUBLIC KVN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# One executable per file; each test case runs in its own process with servers of its own,
# started and stopped by run_with.sh (the options after the file name). JACK servers of one user
# share their shared-memory registry, and one starting or stopping can make a client of another
# fail to open: the JACK tests take turns.
function(kvn_sdl_test name)
  set(sources ${CMAKE_SOURCE_DIR}/tests/sdl/${name}.cpp)
  if(name STREQUAL "contract_test")  # the platform contract, with this adapter's user
    set(sources ${CMAKE_SOURCE_DIR}/tests/platform/contract_test.cpp ${CMAKE_SOURCE_DIR}/tests/platform/contract_sdl.cpp)
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE kvn_sdl_test_support GTest::gtest_main kvn_warnings)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/tests/sdl/run_with.sh;${ARGN};--")
  set(lock "")
  if("--jack" IN_LIST ARGN OR "--jack-async" IN_LIST ARGN OR "--no-jack" IN_LIST ARGN)
    set(lock RESOURCE_LOCK kvn_jackd)
  endif()
  set(workdir ${CMAKE_BINARY_DIR}/testrun/${name})
  file(MAKE_DIRECTORY ${workdir})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${workdir} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS sdl TIMEOUT 60 ${lock})
endfunction()

kvn_sdl_test(sdl_midi_test --jack)
kvn_sdl_test(sdl_nomidi_test --no-jack)
kvn_sdl_test(sdl_process_test)
kvn_sdl_test(sdl_window_test --x)
kvn_sdl_test(sdl_wm_test --wm)
kvn_sdl_test(contract_test --x)

# The catalogue names alone: no server, no other part of the adapter.
add_executable(sdl_names_test ${CMAKE_SOURCE_DIR}/tests/sdl/sdl_names_test.cpp)
target_link_libraries(sdl_names_test PRIVATE kvn_port_names GTest::gtest_main kvn_warnings)
gtest_discover_tests(sdl_names_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES LABELS sdl TIMEOUT 60)

# The servers the tests start must start on a machine whose JACK registry is full.
add_test(NAME Servers.AJackRegistryFullOfKilledServersIsTakenBack
         COMMAND ${CMAKE_SOURCE_DIR}/tests/sdl/jack_registry_test.sh
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/testrun)
set_tests_properties(Servers.AJackRegistryFullOfKilledServersIsTakenBack PROPERTIES
                     LABELS sdl TIMEOUT 120 RESOURCE_LOCK kvn_jackd)

# ---- End-to-end tests: kvn itself -------------------------------------------------------------
# Each test case starts the program in a folder of its own, with servers of its own (run_with.sh
# as above), plays to it and listens to it over JACK (or, with KVN_TEST_MIDI=alsa, over the ALSA
# sequencer: tests/sdl/midi_client.h), clicks it with xdotool and looks at it.
add_library(kvn_e2e_support STATIC ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_support.cpp)
target_link_libraries(kvn_e2e_support PUBLIC kvn_sdl_test_support kvn_oracle PRIVATE kvn_warnings)
target_compile_definitions(kvn_e2e_support PUBLIC KVN_PROGRAM="$<TARGET_FILE:kvn>")

function(kvn_e2e_test name)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/e2e/${name}.cpp)
  target_link_libraries(${name} PRIVATE kvn_e2e_support GTest::gtest_main kvn_warnings)
  add_dependencies(${name} kvn)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/tests/sdl/run_with.sh;${ARGN};--")
  set(workdir ${CMAKE_BINARY_DIR}/testrun/${name})
  file(MAKE_DIRECTORY ${workdir})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${workdir} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS e2e TIMEOUT 120 RESOURCE_LOCK kvn_jackd)
endfunction()

# What kvn does to MIDI is the soak's (cmake/Soak.cmake: the model-driven stream); these check the
# wiring. A synchronous server where kvn closes in order: on a busy machine an asynchronous one lets
# a late client miss a period or read one twice (bench/RESULTS.md). The fault tests end programs and
# servers by signal, and a client that vanishes that way holds a synchronous server up.
kvn_e2e_test(e2e_panel_test --wm --jack)
kvn_e2e_test(e2e_burst_test --wm --jack)
kvn_e2e_test(e2e_fault_test --wm --jack-async)
# kvn started again and again into a running synchronous graph, beside peers that share a process.
kvn_e2e_test(e2e_join_test --wm --jack)
# Headless, as its systemd unit starts it: no X server at all. The JACK server is killed in one case.
kvn_e2e_test(e2e_headless_test --jack-async)

# The same programs once more over a real ALSA sequencer (KVN_TEST_MIDI=alsa), in a virtual machine
# with the kernel's sequencer and virtual MIDI ports (tests/alsa/vm_run.sh; skipped, status 77, where
# QEMU or such a kernel is missing). Inside, each test case in a process of its own, with an X server
# and no JACK server (tests/alsa/guest_cases.sh); the test fails if any case does. The emulated
# machine takes both cores.
set(KVN_ALSA_TIER_DIR ${CMAKE_BINARY_DIR}/testrun/alsa_tier)
file(MAKE_DIRECTORY ${KVN_ALSA_TIER_DIR})
add_test(NAME AlsaTier.EndToEndCasesOverAlsa
         COMMAND ${CMAKE_SOURCE_DIR}/tests/alsa/vm_run.sh -- ${CMAKE_SOURCE_DIR}/tests/alsa/guest_cases.sh
                 $<TARGET_FILE:e2e_panel_test> $<TARGET_FILE:e2e_burst_test> $<TARGET_FILE:e2e_fault_test>
         WORKING_DIRECTORY ${KVN_ALSA_TIER_DIR})
set_tests_properties(AlsaTier.EndToEndCasesOverAlsa PROPERTIES
                     LABELS e2e TIMEOUT 420 SKIP_RETURN_CODE 77 PROCESSORS 2 RUN_SERIAL TRUE
                     ENVIRONMENT KVN_TEST_MIDI=alsa)

# The installed tree, started the way its desktop entry starts it.
add_test(NAME Install.TheLauncherRunsTheInstalledProgramInAPerUserFolder
         COMMAND ${CMAKE_SOURCE_DIR}/tests/sdl/run_with.sh --wm --jack-async --
                 ${CMAKE_SOURCE_DIR}/tests/e2e/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(Install.TheLauncherRunsTheInstalledProgramInAPerUserFolder PROPERTIES
                     LABELS e2e TIMEOUT 180 RESOURCE_LOCK kvn_jackd
                     WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/testrun)
