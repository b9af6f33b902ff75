# What `cmake --install` puts in place: the two programs and the encoder's
# manual page, at the GNU directories under the prefix (and DESTDIR). Nothing else of the host
# tree is installed: tests, fuzzers and benchmarks have no install rules.
include(GNUInstallDirs)
install(TARGETS b64filter b64unfilter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/b64filter.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
