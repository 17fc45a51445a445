# Header-only packages of the build machine for cross builds. Their own
# configurations would put the build machine's whole /usr/include on the
# target's include path, where it shadows the target's C library headers;
# these stand-ins stage just the package's header folder in the build tree.
#
# kpxadac_header_only_package(<package> <target> <folder> <header>):
# defines the imported target <target> for /usr/include/<folder>/<header>.
macro(kpxadac_header_only_package package target folder header)
  find_path(KPXADAC_${package}_INCLUDE ${folder}/${header} PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KPXADAC_${package}_INCLUDE)
    set(${package}_FOUND FALSE)
    set(${package}_NOT_FOUND_MESSAGE "/usr/include/${folder}/${header} is missing")
    return()
  endif()
  set(_kpxadac_stage ${CMAKE_BINARY_DIR}/cross-include/${package})
  if(NOT EXISTS ${_kpxadac_stage}/${folder})
    file(MAKE_DIRECTORY ${_kpxadac_stage})
    file(CREATE_LINK ${KPXADAC_${package}_INCLUDE}/${folder} ${_kpxadac_stage}/${folder}
         SYMBOLIC COPY_ON_ERROR)
  endif()
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_kpxadac_stage})
  endif()
  unset(_kpxadac_stage)
endmacro()

# kpxadac_header_only_version(<package>): the version of the build
# machine's package, from its own version file.
macro(kpxadac_header_only_version package)
  include(/usr/share/cmake/${package}/${package}ConfigVersion.cmake OPTIONAL
          RESULT_VARIABLE _kpxadac_version_file)
  if(NOT _kpxadac_version_file)
    set(PACKAGE_VERSION "unknown")
    set(PACKAGE_VERSION_UNSUITABLE TRUE)
  endif()
  unset(_kpxadac_version_file)
endmacro()
