# Installation where Debian keeps such programs, and a Debian package made with CPack.
include(GNUInstallDirs)

install(TARGETS dostrel DESTINATION lib/cgi-bin)
install(TARGETS dostrel-check dostrel-appserver DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/dostrel.8 docs/man/dostrel-check.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES docs/man/dostrel.cnf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES examples/dostrel.cnf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES README.md docs/deploying.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "dostrel developers <dostrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "CGI gateway that forwards each request to an application server over TCP")
set(CPACK_PACKAGE_DESCRIPTION "dostrel is a small CGI program: it forwards the whole CGI \
request to the application server that its dostrel.cnf names for the request's PATH_INFO and \
relays the response.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
