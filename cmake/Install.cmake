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
        PATTERN "*.md" PATTERN "*.png" PATTERN "man" EXCLUDE)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        PATTERN "node_modules" EXCLUDE PATTERN ".gitignore" EXCLUDE)

# The application-server library for C and C++ programs, found through pkg-config. The .pc file
# names its prefix relative to its own place, so it is right wherever the tree is installed.
install(TARGETS dostrel_appserver ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY appserver/include/dostrel/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dostrel
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
file(RELATIVE_PATH DOSTREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" DOSTREL_PC_TO_PREFIX "${DOSTREL_PC_TO_PREFIX}")
configure_file(appserver/dostrel-appserver.pc.in dostrel-appserver.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dostrel-appserver.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
