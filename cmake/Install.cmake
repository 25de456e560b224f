# Installation where Debian keeps such programs, and a Debian package made with CPack.
include(GNUInstallDirs)

install(TARGETS dostrel DESTINATION lib/cgi-bin)
install(TARGETS dostrel-check dostrel-appserver DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/dostrel.8 docs/man/dostrel-check.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES docs/man/dostrel.cnf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES examples/dostrel.cnf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES README.md docs/deploying.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The application-server library for C and C++ programs, found through pkg-config. The .pc file
# names its prefix relative to its own place, so it is right wherever the tree is installed.
install(TARGETS dostrel_appserver ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES appserver/include/dostrel/appserver.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dostrel)
install(FILES docs/appserver-c.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(RELATIVE_PATH DOSTREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" DOSTREL_PC_TO_PREFIX "${DOSTREL_PC_TO_PREFIX}")
configure_file(appserver/dostrel-appserver.pc.in dostrel-appserver.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dostrel-appserver.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "dostrel developers <dostrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "CGI gateway that forwards each request to an application server over TCP")
set(CPACK_PACKAGE_DESCRIPTION "dostrel is a small CGI program: it forwards the whole CGI \
request to the application server that its dostrel.cnf names for the request's PATH_INFO and \
relays the response. It also carries the sample application server dostrel-appserver and the \
C library for writing application servers (libdostrel_appserver.a, pkg-config \
dostrel-appserver).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
