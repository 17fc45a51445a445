# nlohmann-json (package nlohmann-json3-dev) for cross builds.
include(${CMAKE_CURRENT_LIST_DIR}/../HeaderOnlyPackage.cmake)
kpxadac_header_only_package(nlohmann_json nlohmann_json::nlohmann_json nlohmann json.hpp)
