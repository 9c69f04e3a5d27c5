# What goes beside the programs when they are installed, and the Debian
# package that CPack makes of it (scripts/package).
set(KDT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kdt212-panel)

# Debian keeps a package's changelog and manual pages compressed, without a
# time stamp.
set(KDT_COMPRESSED)
foreach(file changelog man/kdt212-panel.1 man/kdt212ctl.1 man/kdt212-sim.1 man/kdt212-bridge.8)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/packaging/${file}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging/man
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${file} > ${compressed}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${file} VERBATIM)
  list(APPEND KDT_COMPRESSED ${compressed})
endforeach()
add_custom_target(kdt_compressed_docs ALL DEPENDS ${KDT_COMPRESSED})

install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${KDT_DOC_DIR})
# The README's pictures, where its links point.
install(DIRECTORY docs/ DESTINATION ${KDT_DOC_DIR}/docs FILES_MATCHING PATTERN "*.png")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/kdt212-panel.1.gz
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/kdt212ctl.1.gz
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/kdt212-sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/kdt212-bridge.8.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The bridge's configuration and its service. Installed for the system
# (prefix /usr), they go where Debian keeps them; anywhere else, below the
# prefix, so that an install for one user never writes outside it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KDT_BRIDGE_CONFIG_DIR /etc/kdt212)
  set(KDT_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(KDT_BRIDGE_CONFIG_DIR ${CMAKE_INSTALL_SYSCONFDIR}/kdt212)
  set(KDT_SYSTEMD_UNIT_DIR lib/systemd/system)
endif()
install(FILES packaging/bridge/bridge.ini DESTINATION ${KDT_BRIDGE_CONFIG_DIR})
install(FILES packaging/bridge/kdt212-bridge.service DESTINATION ${KDT_SYSTEMD_UNIT_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kdt212-panel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VORNEX")
set(CPACK_PACKAGE_CONTACT "KDT-212 control panel developers <kdt212-panel@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator console for the VORNEX KDT-212 relay switch unit")
# The long description: CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The KDT-212 switches each of its three relays between two inputs. The
console connects to the unit over TCP, shows every relay's input and name,
switches relays alone or in sync, renames them, and reconnects by itself.
.
The package also holds kdt212ctl, which switches and reads the unit from
scripts, schedules and home-automation hubs; kdt212-bridge, a service that
holds each unit's session and shares it with every client; and kdt212-sim,
a simulated unit for trying them without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The bridge's system user is made by the postinst, with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bridge/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bridge/prerm ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bridge/postrm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bridge/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
