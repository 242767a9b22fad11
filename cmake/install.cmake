# SPDX-License-Identifier: GPL-2.0-or-later
# What `cmake --install <build> [--prefix DIR]` installs: the daemon, simulator
# and partner tool (their own CMakeLists.txt), the commented sample
# configuration, the systemd unit and its template for several bridges, the
# logrotate snippet, the manual pages and the documentation. The Debian packages
# (debian/) split these files between zelk and zelk-tools.
#
# With the prefix /usr (as the Debian build uses) the configuration and
# logrotate files go to /etc; with any other prefix to etc under it, so that
# everything stays inside DIR.
include(GNUInstallDirs)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ZELK_SYSCONF_DIR "/etc")
else()
  set(ZELK_SYSCONF_DIR "${CMAKE_INSTALL_SYSCONFDIR}")
endif()

set(ZELK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, absolute or relative to the installation prefix")

install(FILES ${CMAKE_SOURCE_DIR}/deploy/Trelvane.ini
        DESTINATION ${ZELK_SYSCONF_DIR}/zelk)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zelk.service ${CMAKE_SOURCE_DIR}/deploy/zelk@.service
        DESTINATION ${ZELK_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/deploy/zelk.logrotate
        DESTINATION ${ZELK_SYSCONF_DIR}/logrotate.d
        RENAME zelk)
foreach(page zelk.8 Trelvane.ini.5 zelk-rewind-sim.1 zelk-partner.1 zelk-road.1)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
foreach(doc README.md docs/deployment.md docs/performance.md docs/rewind-sim.md)
  install(FILES ${CMAKE_SOURCE_DIR}/${doc} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zelk)
endforeach()
