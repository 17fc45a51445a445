include(${CMAKE_CURRENT_LIST_DIR}/../HeaderOnlyPackage.cmake)
kpxadac_header_only_version(nlohmann_json)
