# The Debian package: `cpack -G DEB` in the build directory writes marlox-helper_VERSION_ARCH.deb
# with the daemon, the client, the systemd unit and the man pages, installed below /usr.
set(CPACK_PACKAGE_NAME "marlox-helper")
set(CPACK_PACKAGE_VENDOR "marlox-helper")
set(CPACK_PACKAGE_CONTACT "marlox-helper maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "lets ordinary users' VPN applications run one openfortivpn tunnel")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "marlox-helper is a small root daemon that lets local users' VPN applications start,"
    "stop and watch one openfortivpn tunnel over a Unix socket: it writes openfortivpn's"
    "configuration, starts it, relays its output and ends it when asked. marlox-ctl is its"
    "command-line client for administrators and scripts.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_GENERATOR "DEB")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# openfortivpn brings pppd; the C++ runtime libraries come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openfortivpn")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Enable and start the service on installation, restart it on upgrade, stop it on removal.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/debian/postinst"
    "${CMAKE_CURRENT_LIST_DIR}/debian/prerm"
    "${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
