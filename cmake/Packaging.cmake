# `cpack -G DEB` in a build folder makes a Debian package of what `cmake --install` places: the agent,
# its desktop entry and icons, the uinput udev rule and module entry, under /usr. Its run-time
# dependencies are read from the binary by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME zubpad)
set(CPACK_PACKAGE_VENDOR "Zub Pad")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Use a tablet as a pen display for this desktop")
set(CPACK_PACKAGE_DESCRIPTION "A tray agent that streams one display to the Zub Pad app on a tablet and turns its pen, touches and keys into desktop input, with pressure and tilt through a uinput drawing tablet.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zub Pad <support@zubpad.app>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://zubpad.app/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The daemon that reaches a tablet over USB, and the uninstall item's administrator step.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbmuxd, pkexec")
set(CPACK_GENERATOR DEB)
include(CPack)
