# KVN.exe: the native Windows adapter (WinMM, Win32, GDI). Cross-built here with
# cmake/mingw-w64.cmake and tested under Wine; see scripts/win32-build.sh and scripts/win32-test.sh.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  return()
endif()
enable_language(RC)


add_library(kvn_platform_win32 STATIC ${CMAKE_SOURCE_DIR}/platform/win32/win32_midi.cpp
                                      ${CMAKE_SOURCE_DIR}/platform/win32/win32_window.cpp)
target_include_directories(kvn_platform_win32 PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kvn_platform_win32 PUBLIC kvn_common winmm gdi32 user32 PRIVATE kvn_warnings)

# Icons 128/132/133 and dialog 130. An object library, so that every program linking it really
# carries the resources (nothing references them by symbol).
add_library(kvn_win32_resources OBJECT ${CMAKE_SOURCE_DIR}/resources/win32/kvn.rc)
target_include_directories(kvn_win32_resources PRIVATE ${CMAKE_SOURCE_DIR}/resources/icons)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/win32/kvn.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/icons/kvn_128.ico;${CMAKE_SOURCE_DIR}/resources/icons/kvn_132.ico;${CMAKE_SOURCE_DIR}/resources/icons/kvn_133.ico")

add_executable(KVN WIN32 ${CMAKE_SOURCE_DIR}/platform/win32/main.cpp $<TARGET_OBJECTS:kvn_win32_resources>)
target_link_libraries(KVN PRIVATE kvn_ui kvn_platform_win32 kvn_warnings)
target_link_options(KVN PRIVATE -s)  # shipped as it is: no symbols

# The release: KVN/KVN.exe, KVN/Bitmap/*.bmp and a read-me, zipped.
set(KVN_RELEASE_ROOT ${CMAKE_BINARY_DIR}/release)
set(KVN_RELEASE_ZIP ${KVN_RELEASE_ROOT}/KVN_${PROJECT_VERSION}_win64.zip)
configure_file(${CMAKE_SOURCE_DIR}/resources/win32/README.txt.in ${CMAKE_BINARY_DIR}/win32-readme/README.txt
  @ONLY NEWLINE_STYLE WIN32)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KVN_RELEASE_ROOT}/KVN ${KVN_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVN_RELEASE_ROOT}/KVN/Bitmap
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KVN> ${KVN_RELEASE_ROOT}/KVN/
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/resources/Bitmap ${KVN_RELEASE_ROOT}/KVN/Bitmap
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/win32-readme/README.txt ${KVN_RELEASE_ROOT}/KVN/
  COMMAND ${CMAKE_COMMAND} -E chdir ${KVN_RELEASE_ROOT} ${CMAKE_COMMAND} -E tar cf ${KVN_RELEASE_ZIP} --format=zip KVN
  DEPENDS KVN
  COMMENT "Packing ${KVN_RELEASE_ZIP}"
  VERBATIM)

if(NOT KVN_BUILD_TESTS)
  return()
endif()

# GoogleTest, built from source with the cross compiler. Tests.cmake's find_package(GTest) then
# finds the targets through an empty package file.
# Wine runs them; GoogleTest's sources are built with the cross compiler (Debian: googletest).
find_program(KVN_WINE NAMES wine64 wine HINTS /usr/lib/wine /usr/lib64/wine DOC "64-bit Wine loader")
find_program(KVN_WINESERVER NAMES wineserver HINTS /usr/lib/wine /usr/lib64/wine DOC "Wine's server")
find_path(KVN_GTEST_SOURCE_DIR googletest/include/gtest/gtest.h PATHS /usr/src/googletest /usr/src/gtest
          NO_CMAKE_FIND_ROOT_PATH DOC "GoogleTest sources to cross-build")
if(NOT KVN_WINE OR NOT KVN_WINESERVER OR NOT KVN_GTEST_SOURCE_DIR)
  message(STATUS "Wine or GoogleTest's sources not found: the Windows tests are not built")
  return()
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KVN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
file(WRITE ${CMAKE_BINARY_DIR}/gtest-package/GTestConfig.cmake
  "# GTest::gtest and GTest::gtest_main come from the cross-built GoogleTest in this tree.\n")
set(GTest_DIR ${CMAKE_BINARY_DIR}/gtest-package CACHE PATH "" FORCE)

# Every test program runs under Wine in this build's own prefix (scripts/win32-test.sh creates it).
set(KVN_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/win32/wine-run.sh ${KVN_WINE} ${KVN_WINE_PREFIX})

# The adapter's tests and the smoke run: they need an X display (Xvfb) and our stand-in winmm.dll,
# which sits next to the programs that load it.
set(KVN_WIN32_TEST_DIR ${CMAKE_BINARY_DIR}/win32-tests)

add_library(kvn_fake_winmm SHARED ${CMAKE_SOURCE_DIR}/tests/win32/fake_winmm.cpp
                                  ${CMAKE_SOURCE_DIR}/tests/win32/fake_winmm.def)
set_target_properties(kvn_fake_winmm PROPERTIES OUTPUT_NAME winmm PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${KVN_WIN32_TEST_DIR})
target_link_libraries(kvn_fake_winmm PRIVATE kvn_warnings)

# The adapter's own tests, and the platform contract (tests/platform) with this adapter's user.
set(KVN_WIN32_TESTS adapter_test contract_test)
set(adapter_test_SOURCES ${CMAKE_SOURCE_DIR}/tests/win32/adapter_test.cpp)
set(contract_test_SOURCES ${CMAKE_SOURCE_DIR}/tests/platform/contract_test.cpp
                          ${CMAKE_SOURCE_DIR}/tests/platform/contract_win32.cpp)
foreach(name ${KVN_WIN32_TESTS})
  add_executable(${name} ${${name}_SOURCES} $<TARGET_OBJECTS:kvn_win32_resources>)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KVN_WIN32_TEST_DIR})
  target_link_libraries(${name} PRIVATE kvn_platform_win32 GTest::gtest_main kvn_warnings)
  add_dependencies(${name} kvn_fake_winmm)
  add_test(NAME win32.${name} COMMAND ${name} WORKING_DIRECTORY ${KVN_WIN32_TEST_DIR})
  set_tests_properties(win32.${name} PROPERTIES LABELS win32-display SKIP_RETURN_CODE 77 TIMEOUT 120
    ENVIRONMENT "KVN_WINE_NEEDS_DISPLAY=1;KVN_WINE_OVERRIDES=winmm=n")
endforeach()

# The zip: what was built, and no mingw runtime DLL needed. Runs without Wine.
add_test(NAME win32.release_zip
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/win32/release_check.sh ${KVN_RELEASE_ZIP} $<TARGET_FILE:KVN>
          ${CMAKE_SOURCE_DIR}/resources/Bitmap ${CMAKE_OBJDUMP})

# A smoke run of the whole program, clicked with xdotool, against the stand-in MIDI devices.
add_test(NAME win32.e2e_program
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/win32/e2e_program.sh
          $<TARGET_FILE:KVN> ${KVN_WIN32_TEST_DIR} ${CMAKE_SOURCE_DIR}/resources/Bitmap ${CMAKE_BINARY_DIR}/e2e
          ${KVN_WINE_PREFIX} ${KVN_WINE})
set_tests_properties(win32.e2e_program PROPERTIES LABELS win32-display SKIP_RETURN_CODE 77 TIMEOUT 300)
set_property(TEST win32.e2e_program APPEND PROPERTY DEPENDS win32.adapter_test)
