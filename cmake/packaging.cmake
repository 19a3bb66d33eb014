# The Debian package an administrator installs with one command (Linux):
# cpack -G DEB in the build folder makes pralix_VERSION_ARCH.deb of what the
# build installs (configure with CMAKE_INSTALL_PREFIX=/usr), with the
# printer application's systemd unit and its maintainer scripts, which create
# its user and reload cupsd.
set(deb ${PROJECT_SOURCE_DIR}/packaging/debian)
install(FILES ${deb}/pralix-printer-app.service DESTINATION /lib/systemd/system)
# The copyright and the picture the administrators' guide (below) shows; the
# developers' README stays in the sources.
install(FILES ${deb}/copyright ${PROJECT_SOURCE_DIR}/docs/release-page.png DESTINATION share/doc/pralix)

# The changelog of a native package, compressed as dpkg wants it (no name, no
# time stamp).
string(TIMESTAMP when "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/changelog
  "pralix (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}: the CUPS backend, its PPD and the printer application.\n\n"
  " -- Pralix driver team <pralix@example.com>  ${when}\n")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog)
# The manual pages of the programs the package installs, and the guide, each
# compressed as Debian's tools compress them (no name, no time stamp).
set(packaged_docs ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
foreach(source man/pralix.8 man/pralix-printer-app.8 docs/admin-guide.md)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${name}.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} >${CMAKE_BINARY_DIR}/packaging/${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${source})
  list(APPEND packaged_docs ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
endforeach()
add_custom_target(debian_docs ALL DEPENDS ${packaged_docs})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${CMAKE_BINARY_DIR}/packaging/admin-guide.md.gz
  DESTINATION share/doc/pralix)
install(FILES ${CMAKE_BINARY_DIR}/packaging/pralix.8.gz ${CMAKE_BINARY_DIR}/packaging/pralix-printer-app.8.gz
  DESTINATION share/man/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pralix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Pralix driver team <pralix@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "secure access and job tickets for the Pralix print server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Every job printed through this package is validated with the Pralix print
server (user ID, password, account number) and carries its job ticket:
the CUPS backend pralix with its PPD for CUPS queues, and the printer
application pralix-printer-app, an IPP Everywhere printer for each print
server, for driverless clients (phones, Windows' IPP class driver, CUPS 3).")
# libcups2, libpappl1 and the C++ runtime as dpkg-shlibdeps finds them; the
# hook library and its stand-in are the package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, poppler-utils | ghostscript")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups-daemon")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb}/postinst ${deb}/prerm ${deb}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
