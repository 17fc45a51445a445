# Installs the libraries, the public headers, kpxadac.pc and a CMake
# package so that find_package(kpxadac) works for users' projects.
include(CMakePackageConfigHelpers)
set(KPXADAC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kpxadac)

install(TARGETS kpxadac kpxadac_static EXPORT kpxadacTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/host/library/kpxadac16.h
              ${PROJECT_SOURCE_DIR}/host/library/kpxadac_stream.h
              ${PROJECT_SOURCE_DIR}/host/library/kpxadac_board.h
              ${PROJECT_SOURCE_DIR}/host/records/kpxadac_records.h
              ${PROJECT_SOURCE_DIR}/host/library/adc/kpxadc.h
              ${PROJECT_SOURCE_DIR}/host/waveform/kpxadac_waveform.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kpxadacTargets NAMESPACE kpxadac:: DESTINATION ${KPXADAC_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kpxadacConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kpxadacConfig.cmake INSTALL_DESTINATION ${KPXADAC_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kpxadacConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kpxadacConfig.cmake
              ${PROJECT_BINARY_DIR}/kpxadacConfigVersion.cmake
        DESTINATION ${KPXADAC_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so the package can be
# installed (or moved) anywhere.
file(RELATIVE_PATH KPXADAC_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" KPXADAC_PC_TO_PREFIX "${KPXADAC_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kpxadac.pc.in ${PROJECT_BINARY_DIR}/kpxadac.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kpxadac.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
