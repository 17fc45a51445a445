# nlohmann-json (header-only) for cross builds: the build machine's headers,
# staged in a directory of their own, since the package's own configuration
# would put the build machine's whole /usr/include on the target's path.
find_path(KPXADAC_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KPXADAC_NLOHMANN_JSON_INCLUDE)
  set(nlohmann_json_FOUND FALSE)
  set(nlohmann_json_NOT_FOUND_MESSAGE "nlohmann/json.hpp not found (install nlohmann-json3-dev)")
  return()
endif()

set(_kpxadac_stage ${CMAKE_BINARY_DIR}/cross-include/nlohmann_json)
if(NOT EXISTS ${_kpxadac_stage}/nlohmann)
  file(MAKE_DIRECTORY ${_kpxadac_stage})
  file(CREATE_LINK ${KPXADAC_NLOHMANN_JSON_INCLUDE}/nlohmann ${_kpxadac_stage}/nlohmann
       SYMBOLIC COPY_ON_ERROR)
endif()

if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${_kpxadac_stage})
endif()
unset(_kpxadac_stage)
