# The Debian package (scripts/package.sh builds it). See docs/desktop.md for the design:
#   /usr/lib/velmor/P            the program folder as built, a template; nothing in it carries rights
#   /usr/bin/velmor              the launcher: copies the template into $XDG_DATA_HOME/velmor/P and
#                                starts that copy, which the user owns and the Updater may rewrite
#   /usr/libexec/velmor-guard    the privileged helper with its systemd unit (when it is built)
# plus the menu entry, the login autostart entry, the hicolor icons, the AppStream metadata and the
# manual pages.

# The version of the program folder, read by the launcher. Release packages made from the program
# folder carry it, so after a self-update it names the version that runs.
file(CONFIGURE OUTPUT "${VELMOR_PROGRAM_DIR}/VERSION" CONTENT "${PROJECT_VERSION}\n")

if(NOT VELMOR_GUI)
  return()
endif()

include(GNUInstallDirs)
set(VELMOR_DESKTOP_DIR "${PROJECT_SOURCE_DIR}/deploy/desktop")
set(VELMOR_PACKAGE_BUILD "${CMAKE_BINARY_DIR}/package-files")
set(VELMOR_TEMPLATE_DEST "${CMAKE_INSTALL_LIBDIR}/velmor/P")
set(VELMOR_ICON_SIZES 16 22 24 32 48 64 128 256)

# Icons rendered from the one SVG of the tray's shield, the manual page and the changelog
# compressed as Debian wants them. Not part of `all`: the packaging script builds this target.
find_program(VELMOR_RSVG_CONVERT rsvg-convert)
find_program(VELMOR_GZIP gzip)
set(package_files "")
foreach(size IN LISTS VELMOR_ICON_SIZES)
  set(png "${VELMOR_PACKAGE_BUILD}/icons/${size}x${size}/velmor.png")
  if(VELMOR_RSVG_CONVERT)
    set(render "${VELMOR_RSVG_CONVERT}" -w ${size} -h ${size} -o "${png}" "${VELMOR_DESKTOP_DIR}/velmor.svg")
  else()
    set(render "${CMAKE_COMMAND}" -E echo "rsvg-convert is missing: run scripts/install-deps.sh" COMMAND false)
  endif()
  add_custom_command(OUTPUT "${png}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${VELMOR_PACKAGE_BUILD}/icons/${size}x${size}"
    COMMAND ${render}
    DEPENDS "${VELMOR_DESKTOP_DIR}/velmor.svg" VERBATIM)
  list(APPEND package_files "${png}")
  install(FILES "${png}" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
endforeach()
set(package_docs velmor.1 changelog)
if(TARGET velmor-guard)
  list(APPEND package_docs velmor-guard.8)
endif()
foreach(doc IN LISTS package_docs)
  add_custom_command(OUTPUT "${VELMOR_PACKAGE_BUILD}/${doc}.gz"
    COMMAND "${VELMOR_GZIP}" -9nc "${VELMOR_DESKTOP_DIR}/${doc}" > "${VELMOR_PACKAGE_BUILD}/${doc}.gz"
    DEPENDS "${VELMOR_DESKTOP_DIR}/${doc}" VERBATIM)
  list(APPEND package_files "${VELMOR_PACKAGE_BUILD}/${doc}.gz")
endforeach()
add_custom_target(velmor_package_files DEPENDS ${package_files})

# The package's file list. `cmake --install` builds nothing itself (the project's tests and
# benchmarks are not installed); scripts/package.sh builds the installed targets first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(TARGETS velmor hostlet DESTINATION "${VELMOR_TEMPLATE_DEST}")
install(TARGETS updater fetchel DESTINATION "${VELMOR_TEMPLATE_DEST}/support")
install(FILES "${VELMOR_PROGRAM_DIR}/VERSION" DESTINATION "${VELMOR_TEMPLATE_DEST}")
file(GLOB help_pages "${PROJECT_SOURCE_DIR}/help/*.htm" "${PROJECT_SOURCE_DIR}/help/*.css" "${PROJECT_SOURCE_DIR}/help/*.png")
install(FILES ${help_pages} DESTINATION "${VELMOR_TEMPLATE_DEST}/help")
install(PROGRAMS "${VELMOR_DESKTOP_DIR}/velmor-launcher.sh" DESTINATION "${CMAKE_INSTALL_BINDIR}" RENAME velmor)
install(FILES "${VELMOR_DESKTOP_DIR}/velmor.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${VELMOR_DESKTOP_DIR}/velmor-autostart.desktop" DESTINATION "/etc/xdg/autostart" RENAME velmor.desktop)
install(FILES "${VELMOR_DESKTOP_DIR}/velmor.svg" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
install(FILES "${VELMOR_DESKTOP_DIR}/org.velmor.Velmor.metainfo.xml" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
install(FILES "${VELMOR_PACKAGE_BUILD}/velmor.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${VELMOR_DESKTOP_DIR}/copyright" "${VELMOR_PACKAGE_BUILD}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/velmor")

set(control_extra "${VELMOR_PACKAGE_BUILD}/conffiles")
file(CONFIGURE OUTPUT "${VELMOR_PACKAGE_BUILD}/conffiles" CONTENT "/etc/xdg/autostart/velmor.desktop\n")

# The privileged helper lives outside the program folder, so neither the launcher's copy nor the
# Updater ever writes it. Its unit's ExecStart is pointed at the installed file.
file(GLOB_RECURSE guard_units "${PROJECT_SOURCE_DIR}/deploy/velmor-guard.service")
set(extra_depends "")
if(TARGET velmor-guard AND guard_units)
  list(GET guard_units 0 guard_unit)
  set(VELMOR_GUARD_UNIT velmor-guard.service)
  install(TARGETS velmor-guard DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}")
  install(FILES "${VELMOR_PACKAGE_BUILD}/velmor-guard.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
  file(READ "${guard_unit}" unit_text)
  string(REGEX REPLACE "(ExecStart=[-@:+!]*)[^ \n]*velmor-guard" "\\1/usr/${CMAKE_INSTALL_LIBEXECDIR}/velmor-guard"
         unit_text "${unit_text}")
  file(CONFIGURE OUTPUT "${VELMOR_PACKAGE_BUILD}/velmor-guard.service" CONTENT "${unit_text}")
  # Debian 12 keeps system units in /lib (dpkg does not know that /lib and /usr/lib are one).
  install(FILES "${VELMOR_PACKAGE_BUILD}/velmor-guard.service" DESTINATION "/lib/systemd/system")
  foreach(script postinst prerm postrm)
    configure_file("${VELMOR_DESKTOP_DIR}/${script}.in" "${VELMOR_PACKAGE_BUILD}/${script}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                    WORLD_EXECUTE)
    list(APPEND control_extra "${VELMOR_PACKAGE_BUILD}/${script}")
  endforeach()
  # The debconf question whether the group's members may use the guard (its service on or off).
  list(APPEND control_extra "${VELMOR_DESKTOP_DIR}/config" "${VELMOR_DESKTOP_DIR}/templates")
  install(FILES "${VELMOR_DESKTOP_DIR}/README.Debian" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/velmor")
  set(extra_depends ", adduser, debconf (>= 0.5) | debconf-2.0")
  set(VELMOR_PACKAGE_HAS_GUARD ON)
else()
  set(VELMOR_PACKAGE_HAS_GUARD OFF)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmor)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Velmor developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmor developers <velmor@velmor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "personal firewall and live connection monitor
Velmor watches the machine's TCP connections from the desktop's tray, with a
Korean user interface. It shows every remote address met, with a count, a
verdict and a host name, keeps one small rule file per address (blocked or
allowed), files addresses that touch its bait listener on TCP port 80 as
intruders, tears connections to blocked addresses down and updates itself.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt platform plugins are loaded at run time, so shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins${extra_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-nanum, iproute2, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "traceroute")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${control_extra}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
