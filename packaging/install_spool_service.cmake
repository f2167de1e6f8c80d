# Installs the spool service's systemd units and its settings file for the prefix this
# installation is made with (run at install time, so `cmake --install --prefix` and the package
# agree): the units name the installed script and settings file, and the settings file goes to
# /etc for the prefix /usr, as Debian has it, to /etc/opt/... for a prefix in /opt, and to
# PREFIX/etc otherwise. Expects VANTREL_PACKAGING_SOURCE_DIR, VANTREL_PACKAGING_BINARY_DIR,
# VANTREL_LIBEXECDIR and VANTREL_DATAROOTDIR (GNUInstallDirs' relative or absolute folders).

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(sysconfdir "/etc")
elseif(prefix MATCHES "^/opt/")
  set(sysconfdir "/etc${prefix}")
else()
  set(sysconfdir "${prefix}/etc")
endif()

# A folder of GNUInstallDirs under the prefix, unless it was given as an absolute path.
function(vantrel_full_path out folder)
  if(IS_ABSOLUTE "${folder}")
    set(${out} "${folder}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${folder}" PARENT_SCOPE)
  endif()
endfunction()
vantrel_full_path(libexecdir "${VANTREL_LIBEXECDIR}")
vantrel_full_path(CMAKE_INSTALL_FULL_DATAROOTDIR "${VANTREL_DATAROOTDIR}")

# The names the unit templates use.
set(VANTREL_SPOOL_SCRIPT "${libexecdir}/vantrel/vantrel-spool")
set(VANTREL_DEFAULTS_FILE "${sysconfdir}/default/vantrel")
set(units "")
foreach(unit vantrel-spool.service vantrel-spool.path vantrel-spool.timer)
  configure_file("${VANTREL_PACKAGING_SOURCE_DIR}/systemd/${unit}.in"
                 "${VANTREL_PACKAGING_BINARY_DIR}/systemd/${unit}" @ONLY)
  list(APPEND units "${VANTREL_PACKAGING_BINARY_DIR}/systemd/${unit}")
endforeach()
file(INSTALL ${units} DESTINATION "${prefix}/lib/systemd/system" FILE_PERMISSIONS
     OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${VANTREL_PACKAGING_SOURCE_DIR}/default/vantrel" DESTINATION "${sysconfdir}/default"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
