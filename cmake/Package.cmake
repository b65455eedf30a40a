# Installing and packaging: the launcher and the client library lie together
# in one application directory, as the front-end expects them, and the
# launcher finds the library beside itself ($ORIGIN) wherever that is.
# Two packages: the till's (component "launcher", everything not named
# otherwise) and the office's korvantis-fleet (component "fleet"), which an
# office PC installs without a launcher, an autostart entry or a settings dialog.
set(KV_APP_DIR opt/korvantis)
set(KV_PKG packaging)
set(KV_DOC_DIR usr/share/doc/korvantis-launcher)
set(KV_FLEET_DOC_DIR usr/share/doc/korvantis-fleet)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME launcher)

set_target_properties(korvantis-launcher PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS korvantis-launcher RUNTIME DESTINATION ${KV_APP_DIR})
install(TARGETS draldb LIBRARY DESTINATION ${KV_APP_DIR})
install(TARGETS korvantis-fleet RUNTIME DESTINATION usr/bin COMPONENT fleet)
install(FILES docs/fleet.md ${KV_PKG}/copyright DESTINATION ${KV_FLEET_DOC_DIR} COMPONENT fleet)
# CUPS runs a backend of mode 0755 as lp, which may use the network and
# /dev/usb/lp*; it needs no more.
install(TARGETS escpos RUNTIME DESTINATION usr/lib/cups/backend
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Menu and log-in start the launcher through a script that reads its
# environment from /etc/default.
install(PROGRAMS ${KV_PKG}/start DESTINATION usr/libexec/korvantis-launcher)
install(FILES ${KV_PKG}/korvantis-launcher.default DESTINATION etc/default RENAME korvantis-launcher)
install(FILES ${KV_PKG}/korvantis-launcher.desktop DESTINATION usr/share/applications)
install(FILES ${KV_PKG}/korvantis-launcher-autostart.desktop
        DESTINATION etc/xdg/autostart RENAME korvantis-launcher.desktop)
install(FILES ${KV_ICON_SVG} DESTINATION usr/share/icons/hicolor/scalable/apps
        RENAME korvantis-launcher.svg)
foreach(size IN LISTS KV_ICON_SIZES)
  install(FILES ${KV_ICON_DIR}/korvantis-${size}.png DESTINATION usr/share/icons/hicolor/${size}x${size}/apps
          RENAME korvantis-launcher.png)
endforeach()
install(FILES ${KV_PKG}/copyright DESTINATION ${KV_DOC_DIR})
# The tables for a new site, and what they hold.
install(FILES ${KV_PKG}/database.sql ${PROJECT_SOURCE_DIR}/docs/notify-by-station.sql
        DESTINATION usr/share/korvantis-launcher)
install(FILES ${KV_PKG}/confined-tills.sql DESTINATION usr/share/korvantis-launcher)
# Every page an administrator may be sent to, and the SQL they show: the whole
# of docs/ but its pictures, so that a page added there ships too.
install(DIRECTORY docs/ DESTINATION ${KV_DOC_DIR} FILES_MATCHING PATTERN "*.md" PATTERN "*.sql")
install(FILES ${KV_PKG}/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME korvantis-launcher)

# The changelog's newest entry names the package's version; a release bumps
# both, or the package would contradict itself.
file(STRINGS ${KV_PKG}/changelog _top LIMIT_COUNT 1)
if(NOT _top MATCHES "^korvantis-launcher \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${_top}', not version ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${KV_PKG}/changelog)
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${KV_PKG}/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${KV_DOC_DIR})
# Both packages are built from this one source, whose changelog they share.
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${KV_FLEET_DOC_DIR} COMPONENT fleet)
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${KV_PKG}/korvantis-fleet.1
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/korvantis-fleet.1.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${KV_PKG}/korvantis-fleet.1)
install(FILES ${CMAKE_BINARY_DIR}/korvantis-fleet.1.gz DESTINATION usr/share/man/man1 COMPONENT fleet)

set(CPACK_PACKAGE_NAME korvantis-launcher)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME korvantis-launcher)
set(CPACK_DEBIAN_FLEET_PACKAGE_NAME korvantis-fleet)
set(CPACK_DEBIAN_PACKAGE_SOURCE korvantis-launcher)
set(CPACK_PACKAGE_VENDOR "Korvantis")
set(CPACK_PACKAGE_CONTACT "Korvantis <support@korvantis.invalid>")
# Each package's description: its first line is its summary.
set(CPACK_DEBIAN_LAUNCHER_DESCRIPTION "Point-of-sale launcher: starts the front-end, prints queued receipts
The Korvantis Launcher lives as a tray icon on a point-of-sale workstation.
It starts the POS front-end and its supporting programs from a per-station
list in PostgreSQL and restarts those marked for it, prints queued receipts
and opens the cash drawer on an ESC/POS printer, and tells the cashier when
the database connection is lost. The desktop must have a notification area.")
set(CPACK_DEBIAN_FLEET_DESCRIPTION "Office view of the Korvantis tills, and a monitoring plugin
korvantis-fleet reads the status row that every Korvantis Launcher keeps in
the site database and shows each till of one or more stores: down, stopped,
printer out of paper, receipts waiting, programs crashing. It prints a
table, JSON for scripts, redraws the table, or answers as a monitoring
plugin (Icinga 2, Nagios, Naemon). It needs only libpq and a role that may
read the status table; it installs no launcher and starts nothing at log-in.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libdraldb.so is ours and lies beside the launcher: dpkg-shlibdeps must not
# look for a package that provides it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/draldb)
# Qt draws SVG icons (many of the desktop icon theme's among them) only with
# its SVG plugin; the tray icon itself is PNG and shows without it.
# The till's package no longer carries the office's command, and does not
# depend on it: a till never runs it.
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_DEPENDS "odbc-postgresql, libqt6svg6")
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/${KV_PKG}/postinst ${PROJECT_SOURCE_DIR}/${KV_PKG}/postrm
    ${PROJECT_SOURCE_DIR}/${KV_PKG}/conffiles)
# korvantis-launcher 0.1 as first packaged carried /usr/bin/korvantis-fleet.
# (The release that ships the split raises the version and adds a Breaks on
# the launcher before it.)
set(CPACK_DEBIAN_FLEET_PACKAGE_REPLACES "korvantis-launcher (<= 0.1)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
