# Debian packages from the install components (scripts/package.sh runs it;
# packaging/README.md explains the layout):
#   component  package                    contents
#   runtime    libqmxconfweba0            the module and its platform libraries
#   dev        libqmxconfweba-dev         headers, link names, CMake package, pkg-config
#   cli        confweba                   confweba (with `confweba site`), man page, completion
#   glib       libqmxconfweba-glib0       the GLib main-loop adapter
#   glib_dev   libqmxconfweba-glib-dev    its header, link name and package files
#   qt         libqmxconfweba-qt0         the Qt event-loop adapter
#   qt_dev     libqmxconfweba-qt-dev      likewise
# Configure with CMAKE_INSTALL_PREFIX=/usr so that GNUInstallDirs picks the
# multiarch library folder (lib/<triplet>).
#
# CPack's own dependency scan is off: with it, CPack writes postinst/postrm
# scripts calling ldconfig, where Debian wants an ldconfig trigger and no
# scripts at all. The library dependencies still come from dpkg-shlibdeps,
# run at packaging time by qmx-cpack-project.cmake on the built binaries.
set(QMX_PACKAGE_MAINTAINER "qmxconfweba maintainers <qmxconfweba@example.org>"
  CACHE STRING "Maintainer field of the Debian packages")
set(QMX_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qmxconfweba)
set(CPACK_PACKAGE_VENDOR "qmxconfweba developers")
set(CPACK_PACKAGE_CONTACT "${QMX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY qmxconfweba)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install with DESTDIR so that install-time code (the pkg-config files) sees
# the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QMX_PACKAGE_RELEASE})
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(qmx_deb_version "${PROJECT_VERSION}-${QMX_PACKAGE_RELEASE}")
set(qmx_pkgdir ${PROJECT_SOURCE_DIR}/packaging)
set(qmx_debdir ${CMAKE_CURRENT_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${qmx_debdir})

# The changelog every package carries, compressed the way Debian wants it
# (gzip -9n: same bytes for the same text).
configure_file(${qmx_pkgdir}/changelog.Debian.in ${qmx_debdir}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nc ${qmx_debdir}/changelog.Debian
  OUTPUT_FILE ${qmx_debdir}/changelog.Debian.gz RESULT_VARIABLE qmx_rc)
if(NOT qmx_rc EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed: ${qmx_rc}")
endif()
file(WRITE ${qmx_debdir}/triggers "activate-noawait ldconfig\n")

# qmx_deb_package(component package section summary description
#                 [LIBS target...] [PROGRAMS target...] [DEPENDS deps]
#                 [RECOMMENDS deps])
# The description is plain text, paragraphs parted by an empty line; CPack
# indents it for the control file.
# Names the component's package, gives it its texts, its files under
# /usr/share/doc and its lintian overrides, and for LIBS (the shared
# libraries it carries) the shlibs file and the ldconfig trigger. The ELF files of the package are recorded
# for qmx-cpack-project.cmake, which adds their dependencies.
set(qmx_deb_components)
set(qmx_deb_shlibs_local "")
set(qmx_deb_elf_lines "")
function(qmx_deb_package component package section summary description)
  cmake_parse_arguments(A "" "DEPENDS;RECOMMENDS" "LIBS;PROGRAMS" ${ARGN})
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${C}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${C}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${C}_PACKAGE_DEPENDS "${A_DEPENDS}" PARENT_SCOPE)
  if(A_RECOMMENDS)
    set(CPACK_DEBIAN_${C}_PACKAGE_RECOMMENDS "${A_RECOMMENDS}" PARENT_SCOPE)
  endif()
  install(FILES ${qmx_pkgdir}/copyright ${qmx_debdir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  install(FILES ${qmx_pkgdir}/lintian-overrides RENAME ${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  set(shlibs "")
  set(elf "")
  foreach(lib IN LISTS A_LIBS)
    get_target_property(name ${lib} OUTPUT_NAME)
    if(NOT name)
      set(name ${lib})
    endif()
    # The libraries keep their ABI within a major version; a host built
    # against 0.x.y needs at least 0.x.y.
    string(APPEND shlibs "lib${name} ${PROJECT_VERSION_MAJOR} ${package} (>= ${PROJECT_VERSION})\n")
    list(APPEND elf "$<TARGET_FILE:${lib}>")
  endforeach()
  foreach(prog IN LISTS A_PROGRAMS)
    list(APPEND elf "$<TARGET_FILE:${prog}>")
  endforeach()
  if(shlibs)
    file(WRITE ${qmx_debdir}/${package}/shlibs "${shlibs}")
    file(COPY_FILE ${qmx_debdir}/triggers ${qmx_debdir}/${package}/triggers)
    set(CPACK_DEBIAN_${C}_PACKAGE_CONTROL_EXTRA
      "${qmx_debdir}/${package}/shlibs;${qmx_debdir}/${package}/triggers" PARENT_SCOPE)
    set(qmx_deb_shlibs_local "${qmx_deb_shlibs_local}${shlibs}" PARENT_SCOPE)
  endif()
  if(elf)
    set(qmx_deb_elf_lines "${qmx_deb_elf_lines}qmx_deb_shlibdeps(${C} ${package} \"${elf}\")\n" PARENT_SCOPE)
  endif()
  set(qmx_deb_components ${qmx_deb_components} ${component} PARENT_SCOPE)
endfunction()

set(qmx_dep_lib "libqmxconfweba0 (= ${qmx_deb_version})")

qmx_deb_package(runtime libqmxconfweba0 libs
  "conference web-access module (shared libraries)"
  "The conference web-access module lets a conference host join conferences
from invitation addresses, have invitations mailed and download files over
a conference site's XML interface.

This package holds the module's shared library and the platform libraries
it runs on (Win32 layer, framework, WinINet layer, XML reader)."
  LIBS qmxconfweba qmxframework qmxwin32 qmxwininet qmxSimpleParseXml)

qmx_deb_package(dev libqmxconfweba-dev libdevel
  "conference web-access module (development files)"
  "The conference web-access module lets a conference host join conferences
from invitation addresses, have invitations mailed and download files.

This package holds the headers, the link names, the CMake package
(find_package(qmxconfweba)), the pkg-config file and the host
documentation."
  DEPENDS "${qmx_dep_lib}")

qmx_deb_package(cli confweba net
  "command-line conference host and conference-site simulator"
  "confweba joins conferences from invitation addresses, has invitations
mailed and downloads files through the conference web-access module.

`confweba site` runs a conference-site simulator on the local machine,
for trying hosts out without a real site."
  PROGRAMS confweba
  RECOMMENDS "bash-completion")

foreach(adapter glib qt)
  if(NOT TARGET qmxconfweba_${adapter})
    continue()
  endif()
  if(adapter STREQUAL "glib")
    set(loop "GLib main loop")
    set(devdep "libglib2.0-dev")
  else()
    set(loop "Qt event loop")
    set(devdep "qtbase5-dev")
  endif()
  qmx_deb_package(${adapter} libqmxconfweba-${adapter}0 libs
    "conference web-access module (${loop} adapter)"
    "The conference web-access module lets a conference host join conferences
from invitation addresses, have invitations mailed and download files.

This package holds the adapter library that runs the module's event queue
inside a ${loop}."
    LIBS qmxconfweba_${adapter})
  qmx_deb_package(${adapter}_dev libqmxconfweba-${adapter}-dev libdevel
    "conference web-access module (${loop} adapter, development files)"
    "The conference web-access module lets a conference host join conferences
from invitation addresses, have invitations mailed and download files.

This package holds the header, the link name, the CMake component
(find_package(qmxconfweba COMPONENTS ${adapter})) and the pkg-config file
of the adapter for the ${loop}."
    DEPENDS "libqmxconfweba-${adapter}0 (= ${qmx_deb_version}), libqmxconfweba-dev (= ${qmx_deb_version}), ${devdep}")
endforeach()
set(CPACK_COMPONENTS_ALL ${qmx_deb_components})

# At packaging time: the Depends of the packages with binaries, from
# dpkg-shlibdeps, with our own libraries resolved through shlibs.local.
set(qmx_libdirs "")
foreach(lib qmxconfweba qmxframework qmxwin32 qmxwininet qmxSimpleParseXml)
  list(APPEND qmx_libdirs "$<TARGET_FILE_DIR:${lib}>")
endforeach()
file(WRITE ${qmx_debdir}/shlibs.local "${qmx_deb_shlibs_local}")
file(GENERATE OUTPUT ${qmx_debdir}/cpack-project.cmake CONTENT
"set(QMX_DEB_SHLIBS_LOCAL \"${qmx_debdir}/shlibs.local\")
set(QMX_DEB_LIBDIRS \"${qmx_libdirs}\")
set(QMX_DEB_WORK \"${qmx_debdir}/shlibdeps\")
include(\"${qmx_pkgdir}/qmx-cpack-project.cmake\")
if(CPACK_GENERATOR STREQUAL \"DEB\")
${qmx_deb_elf_lines}endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${qmx_debdir}/cpack-project.cmake)

include(CPack)
