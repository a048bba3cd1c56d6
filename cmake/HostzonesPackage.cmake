# The Debian package: `cmake --workflow --preset package` builds the release
# program with the installation prefix /usr and runs CPack's DEB generator,
# which gives build/package/hostzones_VERSION_ARCH.deb holding
#   /usr/bin/hostzones and /usr/sbin/hostzones-update,
#   their manual pages (compressed, as Debian has them),
#   /etc/hostzones-update.conf.sample, a conffile,
#   the systemd units in /lib/systemd/system, installed but not enabled (the
#     timer needs a configuration first),
#   /usr/share/doc/hostzones/copyright and changelog.gz,
# and the maintainer scripts of packaging/ (stop the timer on removal, clear
# the job's default cache on purge). Included by the top-level CMakeLists
# after every other install rule, when HOSTZONES_PACKAGE is on.
include_guard(GLOBAL)

# The Debian changelog's first entry names the version packaged.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" _hostzones_changelog_head
  LIMIT_COUNT 1)
if(NOT _hostzones_changelog_head MATCHES "^hostzones \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${PROJECT_VERSION}: "
    "${_hostzones_changelog_head}")
endif()

# The systemd units, with the job's installed path in ExecStart
# (GNUInstallDirs' full paths: the prefix before a relative directory).
set(_hostzones_job "${CMAKE_INSTALL_FULL_SBINDIR}/hostzones-update")
set(_hostzones_package_dir "${PROJECT_BINARY_DIR}/packaging")
file(READ "${PROJECT_SOURCE_DIR}/scripts/hostzones-update.service" _hostzones_service)
string(REGEX REPLACE "ExecStart=[^ \n]*hostzones-update" "ExecStart=${_hostzones_job}"
  _hostzones_service "${_hostzones_service}")
# Its opening paragraph tells how to copy it from the sources: replaced; the
# rest of the comment (why each setting) stays.
string(REGEX MATCH "^(#[^\n]*\n)+" _hostzones_head "${_hostzones_service}")
string(FIND "${_hostzones_head}" "\n#\n" _hostzones_cut)
if(_hostzones_cut GREATER -1)
  math(EXPR _hostzones_cut "${_hostzones_cut} + 1")
else()
  string(LENGTH "${_hostzones_head}" _hostzones_cut)
endif()
string(SUBSTRING "${_hostzones_service}" ${_hostzones_cut} -1 _hostzones_service)
string(PREPEND _hostzones_service
"# Runs hostzones-update(8) once; started daily by hostzones-update.timer once
# that is enabled (systemctl enable --now hostzones-update.timer), after
# /etc/hostzones-update.conf is written.
")
file(GENERATE OUTPUT "${_hostzones_package_dir}/hostzones-update.service"
  CONTENT "${_hostzones_service}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${PROJECT_SOURCE_DIR}/scripts/hostzones-update.service"
  "${PROJECT_SOURCE_DIR}/packaging/changelog")
set(HOSTZONES_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH
  "Where the package puts the systemd units")
install(FILES "${_hostzones_package_dir}/hostzones-update.service"
  "${PROJECT_SOURCE_DIR}/scripts/hostzones-update.timer"
  DESTINATION "${HOSTZONES_SYSTEMD_UNIT_DIR}")

# Debian's documentation files: the copyright, and the changelog compressed
# with gzip -9n (no name, no time stamp: the same bytes on every build).
add_custom_command(OUTPUT "${_hostzones_package_dir}/changelog.gz"
  COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh
    "${PROJECT_SOURCE_DIR}/packaging/changelog" "${_hostzones_package_dir}/changelog.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog"
  VERBATIM)
add_custom_target(hostzones_package_changelog ALL
  DEPENDS "${_hostzones_package_dir}/changelog.gz")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
  "${_hostzones_package_dir}/changelog.gz"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/hostzones")

# The manual pages go in compressed, like every Debian manual page.
install(CODE "
  foreach(page man1/hostzones.1 man8/hostzones-update.8)
    set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/\${page}\")
    execute_process(COMMAND gzip -9nf \"\${path}\" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"gzip \${path} failed\")
    endif()
  endforeach()
")

# The sample configuration is a conffile: an upgrade keeps an edited copy.
file(WRITE "${_hostzones_package_dir}/conffiles"
  "${CMAKE_INSTALL_FULL_SYSCONFDIR}/hostzones-update.conf.sample\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hostzones)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "hostzones developers <hostzones@packages.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DNS block lists into an Unbound local-zone fragment")
set(CPACK_PACKAGE_DESCRIPTION
  "hostzones converts DNS block lists (hosts files and plain domain lists)
into local-zone lines for the Unbound resolver to include: de-duplicated,
lower-cased, without names that a listed parent covers, exact to the byte.
The nightly job hostzones-update downloads the lists, converts them, checks
the resolver's configuration and reloads it, never leaving the resolver
with less blocking than before without saying so. Its systemd timer is
installed but not enabled: copy /etc/hostzones-update.conf.sample to
/etc/hostzones-update.conf and adjust it first.")
# DESTDIR installation, so that the install rules see the real prefix (the
# job and its manual page name the converter and the configuration by it)
# and /etc and /lib/systemd/system land where they belong.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "unbound, curl | wget")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_hostzones_package_dir}/conffiles"
  "${PROJECT_SOURCE_DIR}/packaging/prerm"
  "${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
