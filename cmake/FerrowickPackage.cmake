# Installed documentation and the two Debian packages built from this tree by CPack:
#   ferrowick          the tool, its PAM service file and its manual pages
#   ferrowick-dialogs  the GTK dialog module, kept apart so a terminal-only machine never
#                      pulls GTK or X11
# `cpack -G DEB` from the build tree writes both .deb files. Install rules without a
# COMPONENT land in ferrowick (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME, set at the top).

find_program(FERROWICK_GZIP gzip REQUIRED)

# Installs a manual page gzip-compressed, as Debian expects. -n leaves out the name and time
# stamp, so the same page always gives the same bytes.
function(ferrowick_install_man_page source section)
  get_filename_component(name "${source}" NAME)
  set(compressed "${CMAKE_BINARY_DIR}/man/${name}.gz")
  add_custom_command(OUTPUT "${compressed}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/man"
    COMMAND ${FERROWICK_GZIP} -9n -c "${source}" > "${compressed}"
    DEPENDS "${source}" VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${name}" target)
  add_custom_target(${target} ALL DEPENDS "${compressed}")
  install(FILES "${compressed}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}"
    COMPONENT ferrowick)
endfunction()

ferrowick_install_man_page("${PROJECT_SOURCE_DIR}/docs/Ferrowick.1" 1)
if(EXISTS "${PROJECT_SOURCE_DIR}/docs/ferrowick-keychain.1")
  ferrowick_install_man_page("${PROJECT_SOURCE_DIR}/docs/ferrowick-keychain.1" 1)
endif()

# Each package carries its own copyright file and Debian changelog. The changelog names the
# release the packages are built for, which is the building machine's: its libraries set the
# versions the packages depend on.
set(FERROWICK_DEBIAN_RELEASE unstable)
if(EXISTS /etc/os-release)
  file(STRINGS /etc/os-release codename_line REGEX "^VERSION_CODENAME=")
  string(REGEX REPLACE "^VERSION_CODENAME=\"?([a-z]+)\"?$" "\\1" codename "${codename_line}")
  if(codename MATCHES "^[a-z]+$")
    set(FERROWICK_DEBIAN_RELEASE "${codename}")
  endif()
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
  "${CMAKE_BINARY_DIR}/debian/changelog" @ONLY)
set(FERROWICK_CHANGELOG "${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz")
add_custom_command(OUTPUT "${FERROWICK_CHANGELOG}"
  COMMAND ${FERROWICK_GZIP} -9n -c "${CMAKE_BINARY_DIR}/debian/changelog"
    > "${FERROWICK_CHANGELOG}"
  DEPENDS "${CMAKE_BINARY_DIR}/debian/changelog" VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS "${FERROWICK_CHANGELOG}")
foreach(package ferrowick ferrowick-dialogs)
  if(package STREQUAL ferrowick)
    set(component ferrowick)
  else()
    set(component dialogs)
  endif()
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/copyright" "${FERROWICK_CHANGELOG}"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ferrowick dialogs)
set(CPACK_PACKAGE_NAME ferrowick)
set(CPACK_PACKAGE_VENDOR "Ferrowick developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The "-1" makes these ordinary (non-native) Debian revisions of the upstream version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Ferrowick developers <ferrowick-devel@lists.ferrowick.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ferrowick.org/")
# Library dependencies come from the binaries themselves (SQLite and libsodium for the tool;
# GTK 3 for the module); programs and sibling packages are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FERROWICK_PACKAGE_NAME ferrowick)
# libpam is opened at run time only when approval is needed, so shlibdeps cannot see it;
# libpam-runtime provides the common-auth and common-account our service file includes.
set(CPACK_DEBIAN_FERROWICK_PACKAGE_DEPENDS "libpam0g (>= 1.4), libpam-runtime, pinentry-curses | pinentry")
set(CPACK_DEBIAN_FERROWICK_PACKAGE_RECOMMENDS ferrowick-dialogs)
set(CPACK_DEBIAN_FERROWICK_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/debian/conffiles")
set(CPACK_DEBIAN_FERROWICK_DESCRIPTION
  "credential helper for the Peldora desktop application
Ferrowick is started by Peldora once per request. It creates and reads
device keys kept in an encrypted keychain of its own (one SQLite file,
sealed with libsodium under a key derived from the keychain password),
asks the device owner to approve a request through PAM, and asks for
secrets with pinentry.
.
The dialogs for typed secrets and for choosing files and folders are in
the ferrowick-dialogs package; without it those requests end as cancelled.")

set(CPACK_DEBIAN_DIALOGS_PACKAGE_NAME ferrowick-dialogs)
set(CPACK_DEBIAN_DIALOGS_PACKAGE_DEPENDS
  "ferrowick (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_DEBIAN_DIALOGS_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_DIALOGS_DESCRIPTION
  "GTK dialogs for the Ferrowick credential helper
This package holds the GTK 3 module that Ferrowick loads only to show a
dialog: the entry of a typed secret and the file and folder choosers
used by Peldora. Every other Ferrowick request runs without it and
without loading any GUI library.")
include(CPack)
