# The version of the build machine's nlohmann-json package.
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake OPTIONAL
        RESULT_VARIABLE _kpxadac_version_file)
if(NOT _kpxadac_version_file)
  set(PACKAGE_VERSION "unknown")
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
endif()
unset(_kpxadac_version_file)
