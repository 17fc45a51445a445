# Installs the libraries, the public headers, kpxadac.pc and a CMake
# package so that find_package(kpxadac) works for users' projects.
# Components (the packages are cut along them, cmake/Packaging.cmake):
# runtime (the shared library / DLL), development (headers, static and
# import libraries, link name, kpxadac.pc, CMake package), tools (programs,
# cmake/Programs.cmake), python (python/), soapysdr (soapysdr/), docs.
include(CMakePackageConfigHelpers)
set(KPXADAC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kpxadac)

install(TARGETS kpxadac kpxadac_static EXPORT kpxadacTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/host/library/kpxadac16.h
              ${PROJECT_SOURCE_DIR}/host/library/kpxadac_stream.h
              ${PROJECT_SOURCE_DIR}/host/library/kpxadac_board.h
              ${PROJECT_SOURCE_DIR}/host/records/kpxadac_records.h
              ${PROJECT_SOURCE_DIR}/host/group/kpxadac_group.h
              ${PROJECT_SOURCE_DIR}/host/library/adc/kpxadc.h
              ${PROJECT_SOURCE_DIR}/host/waveform/kpxadac_waveform.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT kpxadacTargets NAMESPACE kpxadac:: DESTINATION ${KPXADAC_CMAKE_DIR}
        COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kpxadacConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kpxadacConfig.cmake INSTALL_DESTINATION ${KPXADAC_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kpxadacConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kpxadacConfig.cmake
              ${PROJECT_BINARY_DIR}/kpxadacConfigVersion.cmake
        DESTINATION ${KPXADAC_CMAKE_DIR} COMPONENT development)

# The .pc file finds the prefix from its own place, so the package can be
# installed (or moved) anywhere.
file(RELATIVE_PATH KPXADAC_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" KPXADAC_PC_TO_PREFIX "${KPXADAC_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kpxadac.pc.in ${PROJECT_BINARY_DIR}/kpxadac.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kpxadac.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
