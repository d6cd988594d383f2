# The Debian package, built with "cpack -G DEB" in a build tree (scripts/package.sh does it all):
# telkey_<version>_<arch>.deb, its library dependencies computed by dpkg-shlibdeps.
# Packing installs what was built and builds nothing (it runs inside the tests, too).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telkey)
set(CPACK_PACKAGE_VENDOR Telkey)

# The package's maintainer is whoever builds it, as Telkey has no address of its own: the name
# and address that Debian's tools take (DEBFULLNAME and DEBEMAIL), or -DTELKEY_PACKAGER; without
# either the package calls itself a local build.
set(TELKEY_PACKAGER "" CACHE STRING "Maintainer of the Debian package: \"Name <address>\"")
if(TELKEY_PACKAGER)
    set(TELKEY_MAINTAINER "${TELKEY_PACKAGER}")
elseif("$ENV{DEBEMAIL}" MATCHES "<.+@.+>")
    set(TELKEY_MAINTAINER "$ENV{DEBEMAIL}")
elseif(NOT "$ENV{DEBFULLNAME}" STREQUAL "" AND "$ENV{DEBEMAIL}" MATCHES ".+@.+")
    set(TELKEY_MAINTAINER "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
    # .invalid is the domain reserved for names that must never resolve: there is no address.
    set(TELKEY_MAINTAINER "Telkey local build <local-build@telkey.invalid>")
endif()
set(CPACK_PACKAGE_CONTACT "${TELKEY_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morse (CW) keyboard keyer for radio amateurs")
# The extended description as dpkg shows it: lines of at most 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Telkey keys a transmitter in Morse code from typed text and macros (F1 to\n"
    "F12) through a serial or parallel port line, switches PTT and sounds a\n"
    "sidetone. It reads an iambic paddle, keys it as an electronic keyer and\n"
    "decodes what the paddle sent. Logging programs drive it over its message bus\n"
    "(telkey-msg) or the cwdaemon protocol.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's designed fonts are drawn with these metric-compatible faces.
# qt6-wayland: a native Wayland window; without it Qt runs through XWayland.
# libhamlib-utils: rigctld, which rig control talks to (Telkey says so when it is missing).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, qt6-wayland, libhamlib-utils")

# The licence in Debian's machine-readable form, and the package's changelog: a native package
# (no Debian revision), so it is changelog.gz, compressed as Debian's tools do.
install(FILES data/debian/copyright DESTINATION ${TELKEY_INSTALL_DOCDIR})
file(STRINGS data/debian/changelog.in changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^telkey \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "data/debian/changelog.in has no entry for version ${PROJECT_VERSION}")
endif()
configure_file(data/debian/changelog.in changelog @ONLY)
add_custom_command(
    OUTPUT changelog.gz
    COMMAND gzip -9 --no-name --force --keep changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
    COMMENT "Compressing the Debian changelog")
add_custom_target(telkey_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${TELKEY_INSTALL_DOCDIR})

include(CPack)
