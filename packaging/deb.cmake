# The Debian package: /usr/bin/hungscan, its man page, copyright and changelog, and
# dependencies computed from the binary by dpkg-shlibdeps.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The extended description; CPack puts the summary line before it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "hungscan pings every top-level window of the X11 display, as window managers
do, and lists each window whose program does not answer within one second,
with its caption and the full path of the program that owns it. It changes
nothing on the desktop.")

# Debian wants man pages and the changelog compressed, reproducibly (no name, no time stamp).
# Both state the project's version (@PROJECT_VERSION@), written into them here.
set(doc ${CMAKE_CURRENT_BINARY_DIR}/deb)
foreach(page IN ITEMS hungscan.1 changelog)
    configure_file(${page} ${doc}/${page} @ONLY)
    add_custom_command(OUTPUT ${doc}/${page}.gz
        COMMAND gzip -9 -n -c ${doc}/${page} > ${doc}/${page}.gz
        DEPENDS ${doc}/${page}
        VERBATIM)
endforeach()
add_custom_target(hungscan_deb_docs ALL DEPENDS ${doc}/hungscan.1.gz ${doc}/changelog.gz)

install(FILES ${doc}/hungscan.1.gz DESTINATION share/man/man1)
install(FILES ${doc}/changelog.gz copyright DESTINATION share/doc/hungscan)
# A user unit, started by whoever wants the watch in their session: systemd's user units.
install(FILES hungscan-watch.service DESTINATION lib/systemd/user)
