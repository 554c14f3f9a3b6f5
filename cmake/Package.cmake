# What an installed Korvane carries beside the program (cmake/PlatformSdl.cmake): the AppStream
# metadata that software centres read, the manual page, the systemd user unit of the headless thru
# box, and the copyright file and changelog a Debian package must have; and the Debian package
# itself, made by CPack's DEB generator from these install rules (scripts/package.sh).
if(NOT TARGET kvn)
  return()
endif()

set(KVN_PACKAGE_SOURCE ${CMAKE_SOURCE_DIR}/platform/sdl/package)
set(KVN_PACKAGE_DOCDIR ${CMAKE_INSTALL_DOCDIR})

# A stripped install (cmake --install --strip, and the package) leaves out the compiler's notes
# too, as Debian's own packaging does.
if(CMAKE_OBJCOPY)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/korvane/kvn\")
  endif()")
endif()
install(FILES ${KVN_PACKAGE_SOURCE}/org.korvane.Korvane.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${KVN_PACKAGE_SOURCE}/copyright DESTINATION ${KVN_PACKAGE_DOCDIR})
# A user unit goes to lib/systemd/user under the prefix whatever the platform's library folder.
if(EXISTS ${CMAKE_SOURCE_DIR}/platform/sdl/korvane.service)
  install(FILES ${CMAKE_SOURCE_DIR}/platform/sdl/korvane.service DESTINATION lib/systemd/user)
endif()

# The manual page and the changelog, compressed as Debian has them: the best compression, and no
# time stamp, so that the same sources make the same package.
find_program(KVN_GZIP gzip)
if(NOT KVN_GZIP)
  message(STATUS "gzip not found: the manual page and the changelog are not installed")
  return()
endif()
set(KVN_PACKAGE_BUILD ${CMAKE_BINARY_DIR}/generated/package)
set(KVN_PACKAGE_GZ "")
foreach(pair "korvane.1=korvane.1.gz" "changelog=changelog.gz")
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 from)
  list(GET pair 1 to)
  add_custom_command(
    OUTPUT ${KVN_PACKAGE_BUILD}/${to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVN_PACKAGE_BUILD}
    COMMAND ${KVN_GZIP} -9nc ${KVN_PACKAGE_SOURCE}/${from} > ${KVN_PACKAGE_BUILD}/${to}
    DEPENDS ${KVN_PACKAGE_SOURCE}/${from}
    COMMENT "Compressing ${from}")
  list(APPEND KVN_PACKAGE_GZ ${KVN_PACKAGE_BUILD}/${to})
endforeach()
add_custom_target(kvn_package_docs ALL DEPENDS ${KVN_PACKAGE_GZ})
install(FILES ${KVN_PACKAGE_BUILD}/korvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KVN_PACKAGE_BUILD}/changelog.gz DESTINATION ${KVN_PACKAGE_DOCDIR})

# ---- The Debian package ------------------------------------------------------------------------
# korvane_<version>_<architecture>.deb. The version is the project's: a native package, whose
# changelog (platform/sdl/package/changelog) is the Debian one and must name the same version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_CONTACT "Korvane developers <maintainers@korvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI thru that keeps instruments at one concert pitch")
set(CPACK_PACKAGE_DESCRIPTION
    "Korvane sits between one MIDI input and one MIDI output and keeps the sound
modules behind the output tuned to a chosen concert pitch, A4 from 435.0 to
445.5 Hz. It passes every message on, transposes notes, drops timing clock on
request, drops master-tune messages sent by other software, and after every GM,
GS or XG reset sends its own fine tuning to every channel but the drum channel.

It works with the ALSA sequencer and with JACK. It has a small skinned panel,
and can also run without a screen, as a thru box started by systemd.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Depends: what dpkg-shlibdeps finds the program linked with. Recommends: the fonts it looks for
# (platform/sdl/font_find.cpp); without them the panel works, without its texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, fonts-wqy-zenhei")
# No symbols in what ships, and the modes Debian's tools expect of files, folders and control files.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
