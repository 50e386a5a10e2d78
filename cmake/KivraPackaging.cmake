# Debian packages with CPack, one per install component (`cpack -G DEB` in the build dir):
#   kivra-netproxy   (component player): kivra-netproxy, kivra-trace and kivra-netcheck
#   kivra-rendezvous (component server): the server, its systemd unit and, as a conffile, its
#                    commented options in /etc/default/kivra-rendezvous
# The programs' install() rules sit beside their targets; this file installs the man pages and
# the files of packaging/, and describes the packages. docs/packaging.md tells the whole story.

set(_kivra_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_kivra_pkg_gen ${PROJECT_BINARY_DIR}/packaging)
set(_kivra_player_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/kivra-netproxy)
set(_kivra_server_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/kivra-rendezvous)
# Where Debian 12 keeps the units of packages (pkg-config systemd --variable=systemdsystemunitdir),
# and the options a unit reads: absolute, whatever the install prefix.
set(KIVRA_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the systemd unit of kivra-rendezvous is installed")
set(KIVRA_DEFAULTS_DIR /etc/default CACHE PATH "Where the options file of kivra-rendezvous is installed")

# Man pages and the changelog the way Debian ships them: the version filled in, compressed with
# gzip -9n (no name, no time stamp, so the same sources give the same package).
function(_kivra_gzip source generated mode)
  configure_file(${source} ${generated} ${mode})
  execute_process(COMMAND gzip -9nc ${generated} OUTPUT_FILE ${generated}.gz RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${generated} failed: ${rc}")
  endif()
endfunction()

foreach(page kivra-netproxy.1:player kivra-trace.1:player kivra-netcheck.1:player kivra-rendezvous.8:server)
  string(REPLACE ":" ";" page ${page})
  list(GET page 0 name)
  list(GET page 1 component)
  string(REGEX REPLACE ".*\\." "" section ${name})
  _kivra_gzip(${PROJECT_SOURCE_DIR}/docs/${name} ${_kivra_pkg_gen}/man/${name} @ONLY)
  install(FILES ${_kivra_pkg_gen}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()

_kivra_gzip(${_kivra_pkg_src}/changelog ${_kivra_pkg_gen}/changelog.Debian COPYONLY)
foreach(doc player:${_kivra_player_doc} server:${_kivra_server_doc})
  string(REPLACE ":" ";" doc ${doc})
  list(GET doc 0 component)
  list(GET doc 1 dir)
  install(FILES ${_kivra_pkg_src}/copyright ${_kivra_pkg_gen}/changelog.Debian.gz DESTINATION ${dir} COMPONENT ${component})
endforeach()

# Lintian overrides, each with its reason in the file.
foreach(pkg kivra-netproxy:player kivra-rendezvous:server)
  string(REPLACE ":" ";" pkg ${pkg})
  list(GET pkg 0 name)
  list(GET pkg 1 component)
  install(FILES ${_kivra_pkg_src}/lintian-overrides RENAME ${name}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endforeach()

install(FILES ${_kivra_pkg_src}/kivra-rendezvous.service DESTINATION ${KIVRA_SYSTEMD_UNIT_DIR} COMPONENT server)
install(FILES ${_kivra_pkg_src}/kivra-rendezvous.default DESTINATION ${KIVRA_DEFAULTS_DIR}
        RENAME kivra-rendezvous COMPONENT server)
install(FILES ${_kivra_pkg_src}/turnserver.conf DESTINATION ${_kivra_server_doc}/examples COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivra-netproxy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kivra-netproxy developers")
set(KIVRA_PACKAGE_MAINTAINER "kivra-netproxy maintainers <maintainers@kivra-netproxy.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT ${KIVRA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL player server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE kivra-netproxy)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PLAYER_PACKAGE_NAME kivra-netproxy)
set(CPACK_DEBIAN_PLAYER_DESCRIPTION "network side of online matches for an arcade-game emulator
kivra-netproxy is the console helper a game front-end starts for one
online match. It registers with a rendezvous server over UDP, punches
through both players' NATs, settles the input delay with the peer,
starts the emulator and relays its datagrams, asks the home router over
UPnP to forward its ports, and writes a trace of every match.
.
This package also holds kivra-trace, which reports on a match's trace
(summary, SVG timeline, pcap), and kivra-netcheck, which tells what kind
of NAT a player is behind and whom they can play.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kivra-rendezvous)
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS coturn)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "rendezvous server for kivra-netproxy matches
kivra-rendezvous pairs the two proxies of a kivra-netproxy match over
UDP and tells each the public endpoint of the other, so that they can
punch through their NATs.
.
It runs as a hardened systemd service (a dynamic user, no capabilities,
a read-only system, IPv4 sockets only), with its options in
/etc/default/kivra-rendezvous. An example coturn configuration is
included for operators who also offer a relay.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${_kivra_pkg_src}/server/conffiles ${_kivra_pkg_src}/server/postinst
    ${_kivra_pkg_src}/server/prerm ${_kivra_pkg_src}/server/postrm)

include(CPack)
