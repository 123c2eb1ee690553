# Installation beside the programs (velmora_program in Velmora.cmake) and the
# Debian package. Included by the root CMakeLists after every program folder.
#
#   PREFIX/lib/velmora/PROGRAM            the programs
#   PREFIX/bin/PROGRAM                    links to them
#   PREFIX/lib/velmora/ParametriKelvora.ini -> SYSCONF/velmora/ParametriKelvora.ini
#   SYSCONF/velmora/ParametriKelvora.ini  the parameter file (commented examples)
#   PREFIX/share/man/man1/PROGRAM.1.gz    manual pages
#   PREFIX/share/doc/velmora/             copyright, changelog.gz
#   SYSTEMD/velmora-batch@.service        the service template (installed disabled)
#
# SYSCONF is /etc for the prefix /usr (the package) and PREFIX/etc for any
# other prefix; SYSTEMD is /lib/systemd/system for the prefix /usr and
# PREFIX/lib/systemd/system for any other (the unit names the programs of
# its own prefix). Both are decided when installing, so `cmake --install build
# --prefix /usr` and the package get /etc whatever prefix was configured.
# An existing parameter file is never overwritten: it holds the site's
# settings.

set(VELMORA_PARAMETER_FILE ParametriKelvora.ini)
set(VELMORA_DOC_DIR share/doc/velmora)

# The changelog is installed gzipped, as Debian keeps it; its newest entry
# names the version it describes.
set(VELMORA_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog)
file(STRINGS ${VELMORA_CHANGELOG} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^velmora \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog does not begin with an entry for version ${PROJECT_VERSION}")
endif()
set(changelog_gz ${PROJECT_BINARY_DIR}/install/doc/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${VELMORA_CHANGELOG} ${PROJECT_BINARY_DIR}/install/doc/changelog
  COMMAND gzip -n -9 -f ${PROJECT_BINARY_DIR}/install/doc/changelog
  DEPENDS ${VELMORA_CHANGELOG}
  COMMENT "Compressing changelog"
  VERBATIM)
add_custom_target(velmora_changelog ALL DEPENDS ${changelog_gz})
add_dependencies(velmora_programs velmora_changelog)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz} DESTINATION ${VELMORA_DOC_DIR})

install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(velmora_sysconf \"/etc/velmora\")
  else()
    set(velmora_sysconf \"\${CMAKE_INSTALL_PREFIX}/etc/velmora\")
  endif()
  set(velmora_ini \"\${velmora_sysconf}/${VELMORA_PARAMETER_FILE}\")
  if(EXISTS \"\$ENV{DESTDIR}\${velmora_ini}\")
    message(STATUS \"Kept: \$ENV{DESTDIR}\${velmora_ini}\")
  else()
    file(INSTALL DESTINATION \"\${velmora_sysconf}\" TYPE FILE
         FILES \"${PROJECT_SOURCE_DIR}/packaging/${VELMORA_PARAMETER_FILE}\")
  endif()
  # The programs read the parameter file next to their real executable.
  set(velmora_link \"${PROJECT_BINARY_DIR}/install/link/${VELMORA_PARAMETER_FILE}\")
  file(REMOVE \"\${velmora_link}\")
  file(MAKE_DIRECTORY \"${PROJECT_BINARY_DIR}/install/link\")
  file(CREATE_LINK \"\${velmora_ini}\" \"\${velmora_link}\" SYMBOLIC)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${VELMORA_PROGRAM_DIR}\" TYPE FILE
       FILES \"\${velmora_link}\")
")

# The service template: the programs' directory is written in when
# installing, since it depends on the prefix.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(velmora_units \"/lib/systemd/system\")
  else()
    set(velmora_units \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endif()
  set(VELMORA_PROGRAM_DIR \"\${CMAKE_INSTALL_PREFIX}/${VELMORA_PROGRAM_DIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/velmora-batch@.service.in\"
                 \"${PROJECT_BINARY_DIR}/install/systemd/velmora-batch@.service\" @ONLY)
  file(INSTALL DESTINATION \"\${velmora_units}\" TYPE FILE
       FILES \"${PROJECT_BINARY_DIR}/install/systemd/velmora-batch@.service\")
")

# The Debian package: `ninja package` (or `cpack -G DEB`) in the build directory.
set(VELMORA_MAINTAINER "Velmora maintainers <maintainers@velmora.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELMORA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publishes photos from a Firebird photo archive to a Prism server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Velmora is started by an archive application for one row of its transfer
log: it finds the archive database (Firebird, embedded or on a server)
through its parameter file and the user's settings, uploads the photo or
video to a Prism photo server over HTTP or HTTPS, files it into the album
(creating the album and its share link the first time), sets its title and
records the server's identifier and hash in the archive.")
# Absolute destinations (/etc) and the install-time prefix test above need
# the real prefix with DESTDIR, not a prefix inside the staging directory;
# the package's prefix is /usr whatever prefix the build was configured for.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Linked libraries (FLTK, X11, libsystemd, the C++ runtime) come from dpkg-shlibdeps.
# The Firebird client and OpenSSL are opened with dlopen when first needed,
# so they are named here. The embedded engine serves local database paths
# only; with a Firebird server (host:path) it is not needed, hence Recommends.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser: the postinst creates the service's system user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfbclient2 (>= 3.0), libssl3 (>= 3.0.0), adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "firebird3.0-server-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst)
include(CPack)
