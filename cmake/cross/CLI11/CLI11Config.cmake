# CLI11 (package libcli11-dev) for cross builds.
include(${CMAKE_CURRENT_LIST_DIR}/../HeaderOnlyPackage.cmake)
kpxadac_header_only_package(CLI11 CLI11::CLI11 CLI CLI.hpp)
