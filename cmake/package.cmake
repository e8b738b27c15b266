# The Debian package, built by CPack from the install rules: `cpack --config build/CPackConfig.cmake`
# (or `cmake --build build --target package`) writes velstrand_<version>-<release>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velstrand)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "velstrand maintainers <maintainers@velstrand.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Redis event list maintenance for a network monitoring engine")
set(CPACK_PACKAGE_DESCRIPTION
    "velstrand is a daemon that works on the event lists which a network
monitoring engine writes into a local Redis server. In every cycle it files
each event of the main list under a list named after its event type, drops
the entries of the configured lists whose timestamps lie outside the
retention window, and appends a report of the engine's CPU share, memory and
alert count to the list stats_report.")

# The settings file and the unit live outside the prefix; staging through DESTDIR keeps those
# absolute paths inside the package tree instead of the build machine's own.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# Shipped programs carry no debug symbols (Debian policy; lintian's unstripped-binary error).
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# dpkg-shlibdeps derives the library packages (libhiredis0.14, libjsoncpp25, libconfig++9v5,
# libsimdjson14, libstdc++6, libc6 ...) from what the programs really link; pgrep comes from
# procps and is started through the shell, which no linker sees.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
# The fan-out's scripts need Redis 7.0: its script flags, and a disk error that stops a script at
# its first write only, never halfway. On an older server the fan-out moves nothing.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "redis-server (>= 5:7.0)")

# dpkg keeps an edited settings file across upgrades and asks before replacing it.
configure_file(${PROJECT_SOURCE_DIR}/packaging/conffiles ${CMAKE_BINARY_DIR}/packaging/conffiles
               COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
