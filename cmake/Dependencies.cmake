# Every outside package the build uses, found once, here. All come from
# Debian packages (scripts/packages.txt); nothing is downloaded.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(pugixml REQUIRED)
# The simulator's HTTP server and the CLI's parsing and JSON.
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(nlohmann_json 3 REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
# libproxy (the desktop's proxy settings) is not linked: the WinINet layer
# loads libproxy.so.1 at run time when it is installed.
# The optional main-loop adapters: built when these are found.
pkg_check_modules(QMXGLIB QUIET IMPORTED_TARGET glib-2.0)
find_package(Qt5 QUIET COMPONENTS Core)
if(QMX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
