# Read by CPack (CPACK_PROJECT_CONFIG_FILE) before it makes the packages.
# qmx_deb_shlibdeps(COMPONENT package files) runs dpkg-shlibdeps on the
# component's built ELF files and puts the libraries they need in front of
# the package's own Depends. Our libraries are resolved through
# QMX_DEB_SHLIBS_LOCAL; a package never depends on itself.
macro(qmx_deb_shlibdeps component package files)
  set(_qmx_work "${QMX_DEB_WORK}/${package}")
  file(REMOVE_RECURSE "${_qmx_work}")
  file(MAKE_DIRECTORY "${_qmx_work}/debian")
  file(WRITE "${_qmx_work}/debian/control" "")
  file(COPY_FILE "${QMX_DEB_SHLIBS_LOCAL}" "${_qmx_work}/debian/shlibs.local")
  set(_qmx_args -O -x${package})
  foreach(_qmx_dir IN LISTS QMX_DEB_LIBDIRS)
    list(APPEND _qmx_args "-l${_qmx_dir}")
  endforeach()
  foreach(_qmx_file IN ITEMS ${files})
    list(APPEND _qmx_args "-e${_qmx_file}")
  endforeach()
  execute_process(COMMAND dpkg-shlibdeps ${_qmx_args}
    WORKING_DIRECTORY "${_qmx_work}"
    OUTPUT_VARIABLE _qmx_out ERROR_VARIABLE _qmx_err RESULT_VARIABLE _qmx_rc)
  if(NOT _qmx_rc EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps for ${package} failed: ${_qmx_err}")
  endif()
  string(REGEX MATCH "shlibs:Depends=([^\n]*)" _qmx_match "${_qmx_out}")
  set(_qmx_deps "${CMAKE_MATCH_1}")
  if(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS)
    string(APPEND _qmx_deps ", ${CPACK_DEBIAN_${component}_PACKAGE_DEPENDS}")
  endif()
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${_qmx_deps}")
endmacro()
