# The Debian package, built with "cpack -G DEB" in a build tree (scripts/package.sh does it all):
# telkey_<version>_<arch>.deb, its library dependencies computed by dpkg-shlibdeps.
# Packing installs what was built and builds nothing (it runs inside the tests, too).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telkey)
set(CPACK_PACKAGE_VENDOR Telkey)
set(CPACK_PACKAGE_CONTACT "Telkey developers <telkey@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://example.org/telkey/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morse (CW) keyboard keyer for radio amateurs")
set(CPACK_PACKAGE_DESCRIPTION
    "Telkey keys a transmitter in Morse code from typed text and macros (F1 to F12) through a\n"
    "serial or parallel port line, switches PTT and sounds a sidetone. It reads an iambic\n"
    "paddle, keys it as an electronic keyer and decodes what the paddle sent. Logging\n"
    "programs drive it over its message bus (telkey-msg) or the cwdaemon protocol.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's designed fonts are drawn with these metric-compatible faces.
# qt6-wayland: a native Wayland window; without it Qt runs through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, qt6-wayland")
include(CPack)
