# Installation layout and helpers. Hosts find the headers under
# <includedir>/qmxconfweba, the libraries in <libdir>, the CMake package in
# <libdir>/cmake/qmxconfweba and the pkg-config files in <libdir>/pkgconfig.
#
# Install components (one Debian package each, see packaging/README.md):
#   runtime           the module's shared libraries
#   dev               public headers (Win32 ones under private/), link names,
#                     the CMake package and pkg-config files, docs
#   cli               confweba and the site simulator, man page, completion
#   glib, glib_dev    the GLib main-loop adapter and its development files
#   qt, qt_dev        the Qt event-loop adapter and its development files
include(GNUInstallDirs)

set(QMX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qmxconfweba)
# The Win32 and WinINet stand-ins (windows.h, wininet.h and their helpers)
# that the libraries are built against. No include path a host is given
# (the CMake package, pkg-config) reaches them: a host's own code must not see
# a windows.h, nor BOOL, DWORD or InternetOpen.
set(QMX_INSTALL_PRIVATE_INCLUDEDIR ${QMX_INSTALL_INCLUDEDIR}/private)
set(QMX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qmxconfweba)
set(QMX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# qmx_public_include(target dir): dir is the target's header folder in the
# source tree; installed, the same headers sit in QMX_INSTALL_INCLUDEDIR.
function(qmx_public_include target dir)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${dir}>
    $<INSTALL_INTERFACE:${QMX_INSTALL_INCLUDEDIR}>)
endfunction()

# qmx_install_library(target [EXPORT set] [COMPONENT c] [DEV_COMPONENT c]
#                     [HEADERS h...] [PRIVATE_HEADERS h...])
# Installs a shared library with its version and SONAME, its link name for
# development, the headers a host needs (HEADERS) and the platform headers
# it was built against (PRIVATE_HEADERS, to QMX_INSTALL_PRIVATE_INCLUDEDIR). The library finds its siblings
# next to itself, wherever the tree was installed.
function(qmx_install_library target)
  cmake_parse_arguments(A "" "EXPORT;COMPONENT;DEV_COMPONENT" "HEADERS;PRIVATE_HEADERS" ${ARGN})
  if(NOT A_EXPORT)
    set(A_EXPORT qmxconfweba-targets)
  endif()
  if(NOT A_COMPONENT)
    set(A_COMPONENT runtime)
  endif()
  if(NOT A_DEV_COMPONENT)
    set(A_DEV_COMPONENT dev)
  endif()
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} EXPORT ${A_EXPORT}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${A_COMPONENT} NAMELINK_COMPONENT ${A_DEV_COMPONENT}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${A_DEV_COMPONENT})
  if(A_HEADERS)
    install(FILES ${A_HEADERS} DESTINATION ${QMX_INSTALL_INCLUDEDIR} COMPONENT ${A_DEV_COMPONENT})
  endif()
  if(A_PRIVATE_HEADERS)
    install(FILES ${A_PRIVATE_HEADERS} DESTINATION ${QMX_INSTALL_PRIVATE_INCLUDEDIR} COMPONENT ${A_DEV_COMPONENT})
  endif()
endfunction()
