# Installation as a Debian service and the Debian package (CPack, DEB generator).
#
#   cmake --install <build> [--prefix DIR]   daemon, simulator, partner tool, the
#                                            commented sample configuration, the
#                                            systemd unit and the logrotate snippet
#   cpack --config <build>/CPackConfig.cmake  zelk_<version>_<arch>.deb
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (scripts/package does):
# the configuration and logrotate files then go to /etc.
include(GNUInstallDirs)

# /etc for a system installation under /usr; otherwise etc under the prefix, so
# that `cmake --install --prefix DIR` keeps everything inside DIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ZELK_SYSCONF_DIR "/etc")
else()
  set(ZELK_SYSCONF_DIR "${CMAKE_INSTALL_SYSCONFDIR}")
endif()

set(ZELK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the installation prefix")

install(FILES ${CMAKE_SOURCE_DIR}/deploy/Trelvane.ini
        DESTINATION ${ZELK_SYSCONF_DIR}/zelk)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zelk.service
        DESTINATION ${ZELK_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zelk.logrotate
        DESTINATION ${ZELK_SYSCONF_DIR}/logrotate.d
        RENAME zelk)
foreach(doc README.md docs/deployment.md docs/performance.md docs/rewind-sim.md)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${doc})
    install(FILES ${CMAKE_SOURCE_DIR}/${doc} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zelk)
  endif()
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zelk")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "ZELK developers")
set(CPACK_PACKAGE_CONTACT "ZELK developers <zelk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DMR voice bridge between a local AMBE partner and a Rewind network")
set(CPACK_PACKAGE_DESCRIPTION
    "ZELK bridges amateur-radio DMR voice between a local partner process (TLV\n"
    "messages over UDP) and a DMR network server speaking the Rewind protocol, and\n"
    "can publish its log lines to an MQTT broker. It runs as a systemd service under\n"
    "its own unprivileged user. The package also holds a Rewind server simulator and\n"
    "a partner stand-in for trying it out.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "hamradio")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Library dependencies (libc6, libstdc++6, libinih1, ...) come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/deploy/debian/postinst
    ${CMAKE_SOURCE_DIR}/deploy/debian/prerm
    ${CMAKE_SOURCE_DIR}/deploy/debian/postrm
    ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
