# Installing and packaging: the launcher and the client library lie together
# in one application directory, as the front-end expects them, and the
# launcher finds the library beside itself ($ORIGIN) wherever that is.
set(KV_APP_DIR opt/korvantis)
set(KV_ICON_SVG ${PROJECT_SOURCE_DIR}/src/launcher/gui/korvantis.svg)

set_target_properties(korvantis-launcher PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS korvantis-launcher RUNTIME DESTINATION ${KV_APP_DIR})
install(TARGETS draldb LIBRARY DESTINATION ${KV_APP_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvantis-launcher.desktop
        DESTINATION usr/share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvantis-launcher-autostart.desktop
        DESTINATION etc/xdg/autostart RENAME korvantis-launcher.desktop)
install(FILES ${KV_ICON_SVG} DESTINATION usr/share/icons/hicolor/scalable/apps
        RENAME korvantis-launcher.svg)

set(CPACK_PACKAGE_NAME korvantis-launcher)
set(CPACK_PACKAGE_VENDOR "Korvantis")
set(CPACK_PACKAGE_CONTACT "Korvantis <support@korvantis.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Point-of-sale launcher: starts the front-end, prints queued receipts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libdraldb.so is ours and lies beside the launcher: dpkg-shlibdeps must not
# look for a package that provides it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/draldb)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "odbc-postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
