# Debian packages from the install components (scripts/package.sh runs it):
#   qmxconfweba        the libraries, confweba, its man page and completion
#   qmxconfweba-dev    headers, link names, the CMake package, pkg-config
#   qmxconfweba-glib   the GLib adapter (library, header and package files)
#   qmxconfweba-qt     the Qt adapter
# Library dependencies are worked out by dpkg-shlibdeps from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qmxconfweba)
set(CPACK_PACKAGE_VENDOR "qmxconfweba developers")
set(CPACK_PACKAGE_CONTACT "qmxconfweba developers <qmxconfweba@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Conference web-access module and its command-line host")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY qmxconfweba)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The adapters link our own libraries, which are in another package: let
# dpkg-shlibdeps see them in the build tree; the dependency on that package
# comes from the component dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
foreach(lib qmxconfweba qmxframework qmxwin32 qmxwininet qmxSimpleParseXml)
  get_target_property(dir ${lib} BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
endforeach()

set(qmx_components runtime dev)
foreach(adapter glib qt)
  if(TARGET qmxconfweba_${adapter})
    list(APPEND qmx_components ${adapter})
  endif()
endforeach()
set(CPACK_COMPONENTS_ALL ${qmx_components})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME qmxconfweba)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Conference web-access module\n The shared libraries a conference host loads to join conferences from\n invitation addresses, have invitations mailed and download files, and\n confweba, a command-line host with a conference-site simulator.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME qmxconfweba-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Conference web-access module: development files\n Headers, the CMake package (find_package(qmxconfweba)) and pkg-config\n files for hosts of the conference module.")

set(CPACK_DEBIAN_GLIB_PACKAGE_NAME qmxconfweba-glib)
set(CPACK_COMPONENT_GLIB_DEPENDS dev)
set(CPACK_COMPONENT_GLIB_DESCRIPTION
  "Conference web-access module: GLib main-loop adapter\n A GSource that runs the module's event queue inside a GMainLoop.")
set(CPACK_DEBIAN_GLIB_PACKAGE_DEPENDS "libglib2.0-dev")

set(CPACK_DEBIAN_QT_PACKAGE_NAME qmxconfweba-qt)
set(CPACK_COMPONENT_QT_DEPENDS dev)
set(CPACK_COMPONENT_QT_DESCRIPTION
  "Conference web-access module: Qt event-loop adapter\n Runs the module's event queue inside a QCoreApplication's event loop.")
set(CPACK_DEBIAN_QT_PACKAGE_DEPENDS "qtbase5-dev")

include(CPack)
