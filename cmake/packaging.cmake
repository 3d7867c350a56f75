# Install rules and CPack for the release packages (scripts/package):
#   Windows builds: ksupdate-<version>-win32.zip / -win64.zip with the
#     program, README.md, LICENSE, docs/manifests.md and docs/deploying.md,
#     and in tools/ the
#     patch scripts and the detection script; the .exe signed first when
#     KSUPDATE_SIGN_CERT and KSUPDATE_SIGN_KEY are set
#     (cmake/sign_windows.cmake);
#   Linux build: ksupdate_<version>_<arch>.deb with /usr/bin/ksupdate, the
#     patch scripts as /usr/bin/ksupdate-*, the man page ksupdate(1) and
#     the docs in /usr/share/doc/ksupdate.
# The documents' links are made to work where each package puts them
# (cmake/package_docs.cmake).
include(GNUInstallDirs)
include(${PROJECT_SOURCE_DIR}/cmake/package_docs.cmake)

set(KSUPDATE_PACKAGE_CONTACT "ksupdate developers <ksupdate@example.invalid>"
  CACHE STRING "Maintainer of the packages, as Name <address>")

# Directories the packages make are 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME ksupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the ksupdate developers")
set(CPACK_PACKAGE_CONTACT "${KSUPDATE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "updates the modules of a Plennet Groupware client from a patch")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Stripped: no debugging sections in what is shipped. On Windows this
# happens before signing, which a later strip would break.
set(CPACK_STRIP_FILES ON)

# The patch scripts are installed without CMakeLists.txt, from which they
# read their version in the source tree, and without
# tests/data/manifest_format.json, from which they read a manifest's
# sections: checksums, which the other two load, gets both stamped in.
set(stamp "\nSTAMPED_VERSION = None\n")
file(READ ${PROJECT_SOURCE_DIR}/scripts/checksums script)
string(FIND "${script}" "${stamp}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "scripts/checksums: no 'STAMPED_VERSION = None' line "
                      "to stamp the version into")
endif()
string(REPLACE "${stamp}" "\nSTAMPED_VERSION = \"${PROJECT_VERSION}\"\n"
  script "${script}")
# The statement as it is, in a raw string: three quotes or a backslash in
# it would end or change that string.
set(stamp "\nSTAMPED_FORMAT = None\n")
set(format_file ${PROJECT_SOURCE_DIR}/tests/data/manifest_format.json)
file(READ ${format_file} format)
string(FIND "${script}" "${stamp}" at)
string(FIND "${format}" "\"\"\"" quotes)
string(FIND "${format}" "\\" backslash)
if(at EQUAL -1 OR NOT quotes EQUAL -1 OR NOT backslash EQUAL -1)
  message(FATAL_ERROR "scripts/checksums: no 'STAMPED_FORMAT = None' line, "
                      "or ${format_file} has three quotes or a backslash")
endif()
string(REPLACE "${stamp}" "\nSTAMPED_FORMAT = r\"\"\"\n${format}\"\"\"\n"
  script "${script}")
set(KSUPDATE_STAMPED_CHECKSUMS ${KSUPDATE_GENERATED_DIR}/scripts/checksums)
file(WRITE ${KSUPDATE_STAMPED_CHECKSUMS}.new "${script}")
file(COPY_FILE ${KSUPDATE_STAMPED_CHECKSUMS}.new ${KSUPDATE_STAMPED_CHECKSUMS}
  ONLY_IF_DIFFERENT)
file(REMOVE ${KSUPDATE_STAMPED_CHECKSUMS}.new)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/scripts/checksums ${format_file})

if(WIN32)
  install(TARGETS ksupdate RUNTIME DESTINATION .)
  install(FILES LICENSE DESTINATION .)
  # The patch scripts as they are, but for the stamps: Python runs them on
  # Windows too.
  install(PROGRAMS ${KSUPDATE_STAMPED_CHECKSUMS} scripts/checkpatch
    scripts/sign DESTINATION tools)
  install(FILES examples/ksupdate-detect.ps1 DESTINATION tools)
  ksupdate_install_docs(.
    README.md=README.md LICENSE=LICENSE docs/manifests.md=docs/manifests.md
    docs/deploying.md=docs/deploying.md
    scripts/checksums=tools/checksums scripts/checkpatch=tools/checkpatch
    scripts/sign=tools/sign
    examples/ksupdate-detect.ps1=tools/ksupdate-detect.ps1)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME}")
  # Runs after the files are staged and stripped, before they are zipped.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/sign_windows.cmake)
else()
  # The changelog's newest entry must be this version: a version bump
  # comes with a note of what changed.
  set(changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^ksupdate \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the first entry is not "
                        "version ${PROJECT_VERSION}: add one for it")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/docs/ksupdate.1.in
    ${KSUPDATE_GENERATED_DIR}/ksupdate.1 @ONLY)
  configure_file(${changelog} ${KSUPDATE_GENERATED_DIR}/changelog COPYONLY)
  # Debian's way: compressed with gzip -9n (no name, no time stamp, so the
  # same input gives the same bytes).
  find_program(KSUPDATE_GZIP gzip REQUIRED)
  add_custom_command(
    OUTPUT ${KSUPDATE_GENERATED_DIR}/ksupdate.1.gz
           ${KSUPDATE_GENERATED_DIR}/changelog.gz
    COMMAND ${KSUPDATE_GZIP} -9nkf ${KSUPDATE_GENERATED_DIR}/ksupdate.1
            ${KSUPDATE_GENERATED_DIR}/changelog
    DEPENDS ${KSUPDATE_GENERATED_DIR}/ksupdate.1
            ${KSUPDATE_GENERATED_DIR}/changelog
    VERBATIM)
  add_custom_target(ksupdate_package_docs ALL DEPENDS
    ${KSUPDATE_GENERATED_DIR}/ksupdate.1.gz
    ${KSUPDATE_GENERATED_DIR}/changelog.gz)

  install(TARGETS ksupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${KSUPDATE_GENERATED_DIR}/ksupdate.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # One page tells of the program and the patch scripts: theirs are links.
  foreach(script checksums checkpatch sign)
    file(CREATE_LINK ksupdate.1.gz
      ${KSUPDATE_GENERATED_DIR}/ksupdate-${script}.1.gz SYMBOLIC)
    install(FILES ${KSUPDATE_GENERATED_DIR}/ksupdate-${script}.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # The patch scripts under names of their own in the shared bin.
  install(PROGRAMS ${KSUPDATE_STAMPED_CHECKSUMS}
    DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME ksupdate-checksums)
  foreach(script checkpatch sign)
    install(PROGRAMS scripts/${script} DESTINATION ${CMAKE_INSTALL_BINDIR}
      RENAME ksupdate-${script})
  endforeach()
  install(FILES ${KSUPDATE_GENERATED_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  ksupdate_install_docs(${CMAKE_INSTALL_DOCDIR}
    README.md=README.md docs/manifests.md=manifests.md
    docs/deploying.md=deploying.md LICENSE=copyright)

  set(CPACK_GENERATOR DEB)
  # ksupdate_<version>_<arch>.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KSUPDATE_PACKAGE_CONTACT}")
  # Depends from the libraries the program links (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The patch scripts are Python; ksupdate-sign runs openssl.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssl")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"ksupdate brings the program modules of a Plennet Groupware client that is
installed in a Wine prefix up to date from a patch. It reads the patch
manifest ksmodules.ver and copies each module that is missing from the
installation, or older there, into its bin directory, recording the new
version in client.ver. It has no window and asks nothing; its trace lines
can be sent to stderr or a file, its outcome to a JSON result file.
.
Its exit status is 0 unless KSUPDATE_EXIT_CODES=msi asks for the outcome:
then 0 when every module is up to date, 10 when a module in use was
moved aside (a restart is needed), 3 when a module could not be brought up
to date or the run failed, 18 when another update held the installation,
12 when the patch manifest cannot be read, 20 when it lists no module,
5 when no installation is found, and 1 when a what-if run would copy
something.
.
ksupdate-checksums, ksupdate-checkpatch and ksupdate-sign write a patch's
checksums, check a patch before it ships, and sign it.")
endif()

include(CPack)
