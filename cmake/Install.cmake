# Installation where Debian keeps such programs. The Debian packages (debian/) split this tree;
# `cmake --install` alone gives the same files under any prefix.
include(GNUInstallDirs)

install(TARGETS dostrel DESTINATION lib/cgi-bin)
install(TARGETS dostrel-check dostrel-appserver DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/dostrel.8 docs/man/dostrel-check.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES docs/man/dostrel.cnf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES docs/man/dostrel-appserver.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The README and the documents it links to, in the same layout, so that its links work where
# it is installed; the examples beside them, as the documents refer to them.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING
        PATTERN "*.md" PATTERN "*.png" PATTERN "*.svg" PATTERN "man" EXCLUDE)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        PATTERN "node_modules" EXCLUDE PATTERN ".gitignore" EXCLUDE)

# The application-server library for C and C++ programs: the shared library with its soname
# links, the static one, the headers, a pkg-config module (the shared library by default, what a
# static link needs under --static) and a CMake package (find_package(dostrel-appserver):
# dostrel::appserver, and dostrel::appserver_static). The .pc file names its prefix relative to
# its own place, so it is right wherever the tree is installed.
install(TARGETS dostrel_appserver_shared dostrel_appserver EXPORT dostrel-appserver
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY appserver/include/dostrel/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dostrel
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
file(RELATIVE_PATH DOSTREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" DOSTREL_PC_TO_PREFIX "${DOSTREL_PC_TO_PREFIX}")
configure_file(appserver/dostrel-appserver.pc.in dostrel-appserver.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dostrel-appserver.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(DOSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dostrel-appserver)
install(EXPORT dostrel-appserver NAMESPACE dostrel:: FILE dostrel-appserver-targets.cmake
        DESTINATION ${DOSTREL_CMAKE_DIR})
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/dostrel-appserver-config-version.cmake
  VERSION ${DOSTREL_APPSERVER_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES appserver/dostrel-appserver-config.cmake
        ${CMAKE_BINARY_DIR}/dostrel-appserver-config-version.cmake
        DESTINATION ${DOSTREL_CMAKE_DIR})
