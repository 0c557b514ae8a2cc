# Install rules and packages.
#
# Native build: `cmake --install` puts kelo and k940-sim in bin/, their
# manual pages (gzip -9n, as Debian wants them) in share/man/man1, the
# documentation in share/doc/kelo and the example (replica.s19, kelo-demo) in
# share/kelo; `cpack` in the build folder makes the Debian package
# kelo_<version>-1_<arch>.deb.
# Windows build: `cpack` makes kelo-<version>-win64.zip with kelo.exe and a
# README for Windows users (CR LF line ends).
#
# The program file is installed as it was built, never stripped: it must stay
# exactly KELO_PROGRAM_SIZE bytes, the offset at which an appended image
# starts. install(PROGRAMS) keeps it out of `cmake --install --strip` and
# CPack's stripping; it was stripped when it was linked, before the padding.

set(KELO_MAINTAINER "kelo dev <dev@kelo.invalid>" CACHE STRING
    "Maintainer named in the Debian package and its changelog")
set(KELO_DEB_RELEASE 1 CACHE STRING "Debian revision of the package")
set(KELO_DEB_VERSION "${PROJECT_VERSION}-${KELO_DEB_RELEASE}")

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME kelo)
set(CPACK_PACKAGE_VENDOR "Kelo Instruments")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware loader for the K940 measuring instrument over a serial line")

if(WIN32)
  install(PROGRAMS $<TARGET_FILE:kelo> DESTINATION .)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/README-windows.txt.in
                 ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "kelo-${PROJECT_VERSION}-win64")
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelo)

install(PROGRAMS $<TARGET_FILE:kelo> DESTINATION ${CMAKE_INSTALL_BINDIR})
set(man_pages kelo.1)
if(TARGET k940-sim)
  install(TARGETS k940-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A test tool built with its symbols; the installed copy goes without them.
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                  --remove-section=.comment --remove-section=.note
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/k940-sim\"
                  COMMAND_ERROR_IS_FATAL ANY)")
  list(APPEND man_pages k940-sim.1)
endif()

# Compressed pages and changelog, without name or time stamp (gzip -n), so
# that the same sources give the same package.
find_program(GZIP gzip REQUIRED)
set(packaged_dir ${CMAKE_BINARY_DIR}/packaged)
set(packaged_files)
foreach(page ${man_pages})
  add_custom_command(OUTPUT ${packaged_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packaged_dir}
    COMMAND ${GZIP} -9n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${packaged_dir}/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND packaged_files ${packaged_dir}/${page}.gz)
  install(FILES ${packaged_dir}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.Debian.in
               ${packaged_dir}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${packaged_dir}/changelog.Debian.gz
  COMMAND ${GZIP} -9n -c ${packaged_dir}/changelog.Debian > ${packaged_dir}/changelog.Debian.gz
  DEPENDS ${packaged_dir}/changelog.Debian
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
list(APPEND packaged_files ${packaged_dir}/changelog.Debian.gz)
add_custom_target(kelo_packaged_files ALL DEPENDS ${packaged_files})

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${packaged_dir}/changelog.Debian.gz
        DESTINATION ${doc_dir})
if(TARGET k940-sim)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/k940-sim/README.md DESTINATION ${doc_dir}
          RENAME README.k940-sim.md)
endif()
# The example of kelo(1): the replica image and the updater made from it,
# together in share/kelo. The updater is a program, which Debian keeps out of
# share: it lies in lib/kelo, and share/kelo/kelo-demo links to it.
install(FILES ${CMAKE_BINARY_DIR}/replica.s19 DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kelo)
install(PROGRAMS ${CMAKE_BINARY_DIR}/kelo-demo DESTINATION lib/kelo)
file(CREATE_LINK ../../lib/kelo/kelo-demo ${packaged_dir}/kelo-demo SYMBOLIC)
install(FILES ${packaged_dir}/kelo-demo DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kelo)
# Bash completion, where bash-completion loads it on demand.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/kelo.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME kelo)
# The lintian tags that are accepted on purpose, each with its reason.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME kelo)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KELO_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION [=[
kelo loads new firmware (Motorola S-records in boot, application and DSP
sections) into a K940 measuring instrument over a serial port, one record
at a time, each acknowledged by the instrument. It also plays service
script files against the instrument and has an interactive terminal mode.
An image appended to the program file makes a self-contained updater.

The package also holds k940-sim, a simulated K940 instrument on a
pseudo-terminal, for trying kelo without an instrument.]=])
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # What dpkg-shlibdeps finds on Debian 12: kelo needs only the C library,
  # k940-sim the C++ runtime as well.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
  if(TARGET k940-sim)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()
include(CPack)
