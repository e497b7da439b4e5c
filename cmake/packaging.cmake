# What the packages install, and how CPack makes them (cmake --workflow
# --preset package): the Debian packages tovix and tovix-server from this
# host build, and Tovix-VERSION-win32.zip from a win32 build of the same
# sources made alongside (TOVIX_PACKAGE_WIN32).
#
# Install components: "client" (tovix), "server" (tovix-server) here,
# "windows" (Tovix.exe and its read-me) in the win32 build.

set(TOVIX_PACKAGE_MAINTAINER "Tovix maintainers <maintainers@users.noreply.c-seed-b146fc2a.example>"
    CACHE STRING "Maintainer named in the Debian packages")
set(pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(pkg_out ${CMAKE_BINARY_DIR}/packaging)

# A text file from packaging/ or man/ with the build's values filled in.
function(tovix_configure_text in out)
    configure_file(${in} ${out} @ONLY)
endfunction()

if(TOVIX_WIN32)
    # Notepad on older Windows wants CRLF; the byte order mark tells it UTF-8.
    tovix_configure_text(${pkg_src}/windows/README.txt ${pkg_out}/README.lf.txt)
    file(READ ${pkg_out}/README.lf.txt text)
    string(REPLACE "\n" "\r\n" text "${text}")
    string(ASCII 239 187 191 bom)
    file(WRITE ${pkg_out}/README.txt "${bom}${text}")
    install(TARGETS Tovix RUNTIME DESTINATION . COMPONENT windows)
    install(FILES ${pkg_out}/README.txt DESTINATION . COMPONENT windows)
    return()
endif()

include(GNUInstallDirs)
find_program(GZIP gzip REQUIRED)
string(TIMESTAMP TOVIX_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# Manual pages and each package's changelog, compressed as Debian keeps them
# (-n: no name or time stamp inside, so the bytes depend on the text only).
set(gz_files)
function(tovix_gzip in out)
    add_custom_command(OUTPUT ${out}
        COMMAND ${GZIP} -9nc ${in} > ${out}
        DEPENDS ${in} VERBATIM)
    set(gz_files ${gz_files} ${out} PARENT_SCOPE)
endfunction()
tovix_configure_text(${CMAKE_SOURCE_DIR}/man/tovix.1 ${pkg_out}/man/tovix.1)
# tovix-server(8)'s list of options is made from the program's table of
# options (server/commands/options.cpp) by tovix-server-manual.
tovix_configure_text(${CMAKE_SOURCE_DIR}/man/tovix-server.8 ${pkg_out}/man/tovix-server.8.in)
add_custom_command(OUTPUT ${pkg_out}/man/tovix-server.8
    COMMAND tovix-server-manual ${pkg_out}/man/tovix-server.8.in ${pkg_out}/man/tovix-server.8
    DEPENDS tovix-server-manual ${pkg_out}/man/tovix-server.8.in
    COMMENT "Making tovix-server(8)'s list of options from the table of options")
foreach(page tovix.1 tovix-server.8)
    tovix_gzip(${pkg_out}/man/${page} ${pkg_out}/man/${page}.gz)
endforeach()
foreach(name tovix tovix-server)
    set(CPACK_PACKAGE_NAME_LOWER ${name})
    tovix_configure_text(${pkg_src}/changelog.in ${pkg_out}/${name}/changelog)
    tovix_gzip(${pkg_out}/${name}/changelog ${pkg_out}/${name}/changelog.gz)
    tovix_configure_text(${pkg_src}/copyright.in ${pkg_out}/${name}/copyright)
endforeach()
add_custom_target(tovix_package_docs ALL DEPENDS ${gz_files})

# tovix: the program, its page, and an example timer for periodic updates.
install(TARGETS tovix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES ${pkg_out}/man/tovix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT client)
install(FILES ${pkg_out}/tovix/changelog.gz ${pkg_out}/tovix/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix COMPONENT client)
install(FILES ${pkg_src}/client/tovix-update.service ${pkg_src}/client/tovix-update.timer
    ${pkg_src}/client/update.env
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix/examples COMPONENT client)

# tovix-server: the server, its services, their settings and its page.
install(TARGETS tovix-server RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT server)
install(FILES ${pkg_out}/man/tovix-server.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
    COMPONENT server)
install(FILES ${pkg_out}/tovix-server/changelog.gz ${pkg_out}/tovix-server/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix-server COMPONENT server)
install(FILES ${pkg_src}/server/tovix-server.service ${pkg_src}/server/tovix-server-dns.service
    DESTINATION /lib/systemd/system COMPONENT server)
install(FILES ${pkg_src}/server/tovix-server.env DESTINATION /etc/tovix-server COMPONENT server)
# PowerDNS's settings as the repository keeps them, with a word on how the
# package uses them first.
file(READ ${CMAKE_SOURCE_DIR}/server/dns/pdns.conf pdns_conf)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/server/dns/pdns.conf)
file(WRITE ${pkg_out}/pdns.conf
    "# tovix-server-dns.service runs\n"
    "#   pdns_server --config-dir=/etc/tovix-server/pdns \\\n"
    "#       --gsqlite3-database=/var/lib/tovix-server/tovix-server.db\n"
    "# as the user tovix-server, on port 53 of every address unless\n"
    "# local-address= or local-port= below say otherwise.\n#\n${pdns_conf}")
install(FILES ${pkg_out}/pdns.conf DESTINATION /etc/tovix-server/pdns COMPONENT server)
# For a PostgreSQL database shared by several servers: an example, not a
# setting of the package's own services.
install(FILES ${CMAKE_SOURCE_DIR}/server/dns/pgsql/pdns.conf
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix-server/examples/pdns-pgsql COMPONENT server)
# For ACME clients that run a program per DNS-01 challenge (lego --dns exec).
install(PROGRAMS ${CMAKE_SOURCE_DIR}/server/acme/acme-dns-hook
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix-server/examples COMPONENT server)
# For the operator's monitoring: alert rules for Prometheus and a Grafana
# dashboard over the metrics of --metrics-listen.
install(FILES ${pkg_src}/server/tovix-server.rules.yml ${pkg_src}/server/tovix-server-dashboard.json
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovix-server/examples COMPONENT server)

# The Windows zip comes from a win32 build of these sources in win32/ below
# this build, packaged by CPackWin32Config.cmake.
option(TOVIX_PACKAGE_WIN32 "Build Tovix.exe alongside for the Windows zip" OFF)
if(TOVIX_PACKAGE_WIN32)
    include(ExternalProject)
    set(win32_dir ${CMAKE_BINARY_DIR}/win32)
    ExternalProject_Add(tovix_win32
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${win32_dir}
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw32.cmake
            -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
            -DTOVIX_UPDATE_SERVER=${TOVIX_UPDATE_SERVER}
        BUILD_COMMAND ${CMAKE_COMMAND} --build ${win32_dir} --target Tovix
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON)
    configure_file(${pkg_src}/CPackWin32Config.cmake.in ${CMAKE_BINARY_DIR}/CPackWin32Config.cmake
        @ONLY)
endif()

set(CPACK_PACKAGE_NAME tovix)
set(CPACK_PACKAGE_VENDOR "Tovix")
set(CPACK_PACKAGE_CONTACT "${TOVIX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME tovix)
# It dials with pppd when the phonebook has entries.
set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS ppp)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "dynamic DNS client with dial-up
Tovix keeps one dynamic DNS host name pointed at this machine's current
Internet address. Each run brings up the dial-up connections of the system
phonebook (/etc/ppp/rasphone.pbk) that need no credentials, sends one
DynDNS-style update over HTTP and shows the result in a small window on
the terminal, or nothing with -Slient. An example systemd timer runs it
periodically.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tovix-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, pdns-server, pdns-backend-sqlite3")
# Many servers on one PostgreSQL database, and PowerDNS reading it.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "postgresql, pdns-backend-pgsql")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${pkg_src}/server/postinst ${pkg_src}/server/prerm ${pkg_src}/server/postrm
    ${pkg_src}/server/conffiles)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "dynamic DNS update server for Tovix and DynDNS clients
tovix-server answers DynDNS-style update requests (/nic/update,
/dyndns/update) over HTTP and HTTPS for the accounts in its SQLite
database, and publishes the hosts in PowerDNS's tables of the same file.
The package runs it as a sandboxed systemd service under its own system
user, with PowerDNS (gsqlite3 backend) answering the names. Several
servers can share one PostgreSQL database instead, which PowerDNS's
gpgsql backend serves.")

include(CPack)
