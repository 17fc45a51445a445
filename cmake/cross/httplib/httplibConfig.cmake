# cpp-httplib for cross builds. Debian's libcpp-httplib-dev holds the split
# build (declarations and a Linux library); the single header of the same
# version comes from Debian's source package (scripts/fetch-cpp-httplib.sh),
# staged alone in the build tree. Defines httplib::httplib.
set(_kpxadac_httplib ${CMAKE_BINARY_DIR}/cross-include/httplib)
if(NOT EXISTS ${_kpxadac_httplib}/httplib.h)
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../../../scripts/fetch-cpp-httplib.sh
                          ${_kpxadac_httplib} RESULT_VARIABLE _kpxadac_failed)
  if(_kpxadac_failed)
    set(httplib_FOUND FALSE)
    set(httplib_NOT_FOUND_MESSAGE "scripts/fetch-cpp-httplib.sh could not fetch httplib.h")
    return()
  endif()
endif()
if(NOT TARGET httplib::httplib)
  add_library(httplib::httplib INTERFACE IMPORTED)
  set_target_properties(httplib::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_kpxadac_httplib}
                        INTERFACE_LINK_LIBRARIES ws2_32)
endif()
unset(_kpxadac_httplib)
