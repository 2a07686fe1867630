# Installs the development files into a scratch prefix and compiles, with
# only the include path a host is given (<includedir>/qmxconfweba):
#   - each public header alone, which must not make <windows.h> reachable;
#   - all of them after a host's own BOOL and before its own GetTickCount
#     and InternetOpen, with no Win32 macro (BOOL, DWORD, TRUE, WINAPI,
#     InternetOpen) left behind;
#   - qmxconfweba_ext.h as C.
# Run with -DBUILD_DIR=... -DWORK_DIR=... -DCXX=... -DCC=...
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component dev
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installing the dev component failed")
endif()
file(GLOB_RECURSE includes LIST_DIRECTORIES true ${WORK_DIR}/prefix/*)
list(FILTER includes INCLUDE REGEX "/qmxconfweba$")
list(FILTER includes EXCLUDE REGEX "/cmake/")
list(LENGTH includes n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one <includedir>/qmxconfweba, found: ${includes}")
endif()
file(GLOB headers RELATIVE ${includes} ${includes}/*.h)
# The result list is a table for ConfWebaResults.h to expand, not a header.
list(REMOVE_ITEM headers ConfWebaResultList.h)
if(NOT headers)
  message(FATAL_ERROR "no public headers installed in ${includes}")
endif()
foreach(h windows.h wininet.h qmxwininet_ext.h qmxcrt.h)
  if(EXISTS ${includes}/${h})
    message(FATAL_ERROR "${h} is on the public include path")
  endif()
endforeach()

set(no_windows "#if __has_include(<windows.h>) || __has_include(\"windows.h\") || __has_include(<wininet.h>)\n#error windows.h is reachable\n#endif\n")
function(compile lang source what)
  set(compiler ${CXX})
  set(flags -std=c++17 -x c++)
  if(lang STREQUAL "C")
    set(compiler ${CC})
    set(flags -std=c99 -x c)
  endif()
  file(WRITE ${WORK_DIR}/tu.src "${source}")
  execute_process(COMMAND ${compiler} ${flags} -fsyntax-only -Wall -Werror -I${includes} ${WORK_DIR}/tu.src
                  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "${what} does not compile with the public include path only:\n${out}${err}")
  endif()
endfunction()

set(all "typedef int BOOL;\n")
foreach(h ${headers})
  compile(CXX "#include \"${h}\"\n${no_windows}" "${h} alone")
  string(APPEND all "#include \"${h}\"\n")
endforeach()
string(APPEND all "${no_windows}"
  "#if defined(BOOL) || defined(DWORD) || defined(TRUE) || defined(WINAPI) || defined(InternetOpen)\n"
  "#error a Win32 macro leaked\n#endif\n"
  "extern \"C\" unsigned long long GetTickCount(void);\n"
  "static int InternetOpen(const char*) { return 0; }\n"
  "int main() { BOOL b = InternetOpen(\"\"); return b + (int)GetTickCount(); }\n")
compile(CXX "${all}" "all public headers together after a host's BOOL")
compile(C "#include \"qmxconfweba_ext.h\"\nint main(void) { return QmxConfWebaSetProxy(0, 0); }\n" "qmxconfweba_ext.h in C")
