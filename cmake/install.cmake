# Install rules: `cmake --install build` (honouring DESTDIR and CMAKE_INSTALL_PREFIX) puts the two
# programs, the manual page, the systemd unit and the sample settings file in place, and the same
# rules feed the Debian package (cmake/package.cmake).
include(GNUInstallDirs)

# The programs read this fixed path whatever the prefix is, so it is absolute.
set(VELSTRAND_SETTINGS_DIR /etc/quellbay)

# Where systemd looks for units of installed packages (/lib/systemd/system on Debian 12).
if(NOT DEFINED VELSTRAND_SYSTEMD_UNIT_DIR)
  pkg_get_variable(_systemd_unit_dir systemd systemdsystemunitdir)
  if(NOT _systemd_unit_dir)
    set(_systemd_unit_dir /lib/systemd/system)
  endif()
  set(VELSTRAND_SYSTEMD_UNIT_DIR "${_systemd_unit_dir}"
      CACHE PATH "Directory the systemd unit is installed into (absolute)")
endif()

install(TARGETS velstrand velstrandtest RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Manual pages are shipped compressed, as Debian policy wants; man reads them either way. The test
# build's page only points at the daemon's, which describes both programs.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(_man_out ${CMAKE_BINARY_DIR}/man)
set(_doc_out ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(
  OUTPUT ${_man_out}/velstrand.8.gz ${_man_out}/velstrandtest.8.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_out}
  COMMAND ${GZIP_EXECUTABLE} -9nc ${PROJECT_SOURCE_DIR}/man/velstrand.8 > ${_man_out}/velstrand.8.gz
  COMMAND ${CMAKE_COMMAND} -E echo ".so man8/velstrand.8" > ${_man_out}/velstrandtest.8
  COMMAND ${GZIP_EXECUTABLE} -9nf ${_man_out}/velstrandtest.8
  DEPENDS ${PROJECT_SOURCE_DIR}/man/velstrand.8
  COMMENT "Compressing the manual pages"
  VERBATIM)
add_custom_command(
  OUTPUT ${_doc_out}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_doc_out}
  COMMAND ${GZIP_EXECUTABLE} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian >
          ${_doc_out}/changelog.Debian.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian
  COMMENT "Compressing the package changelog"
  VERBATIM)
add_custom_target(velstrand_docs ALL
  DEPENDS ${_man_out}/velstrand.8.gz ${_man_out}/velstrandtest.8.gz ${_doc_out}/changelog.Debian.gz)

install(FILES ${_man_out}/velstrand.8.gz ${_man_out}/velstrandtest.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_doc_out}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velstrand)

# The unit names the daemon by its installed path, which is known only at install time (cpack and
# `cmake --install --prefix` both choose the prefix then), so it is written then.
install(CODE "
  set(_unit_text \"\")
  file(READ \"${PROJECT_SOURCE_DIR}/packaging/velstrand.service\" _unit_text)
  set(_sbin \"${CMAKE_INSTALL_SBINDIR}\")
  if(NOT IS_ABSOLUTE \"\${_sbin}\")
    set(_sbin \"\${CMAKE_INSTALL_PREFIX}/\${_sbin}\")
  endif()
  # ExecStart and ExecPaths both name the program.
  string(REPLACE \"/usr/sbin/velstrand\" \"\${_sbin}/velstrand\" _unit_text \"\${_unit_text}\")
  # A name of its own per install: a package build and a plain install may run side by side.
  string(RANDOM LENGTH 12 _tag)
  set(_unit_file \"${CMAKE_BINARY_DIR}/packaging/velstrand.service.\${_tag}\")
  file(WRITE \"\${_unit_file}\" \"\${_unit_text}\")
  # file(INSTALL) skips a file it finds up to date by its time stamp, which a unit written for
  # another prefix within the same second is.
  file(REMOVE \"\$ENV{DESTDIR}${VELSTRAND_SYSTEMD_UNIT_DIR}/velstrand.service\")
  file(INSTALL DESTINATION \"${VELSTRAND_SYSTEMD_UNIT_DIR}\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"\${_unit_file}\" RENAME velstrand.service)
  file(REMOVE \"\${_unit_file}\")
")

# The settings file is the operator's: a plain install(FILES) would overwrite their edits at every
# install, so the sample goes in only where no file is yet.
install(CODE "
  set(_settings \"\$ENV{DESTDIR}${VELSTRAND_SETTINGS_DIR}/conf.cfg\")
  if(EXISTS \"\${_settings}\" OR IS_SYMLINK \"\${_settings}\")
    message(STATUS \"Keeping existing: \${_settings}\")
  else()
    file(INSTALL DESTINATION \"${VELSTRAND_SETTINGS_DIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${PROJECT_SOURCE_DIR}/conf/velstrand.cfg\"
         RENAME conf.cfg)
  endif()
")

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)

if(VELSTRAND_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
endif()
