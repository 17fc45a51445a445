# Packages, cut along the install components (cmake/Install.cmake):
#   Debian (CPack's DEB generator, -DKPXADAC_DEBIAN_PACKAGES=ON, prefix /usr):
#     runtime -> libkpxadac1, response -> libkpxadac-response1 (the
#     stimulus-response library, apart because it needs FFTW),
#     development -> libkpxadac-dev,
#     tools -> kpxadac-tools, python -> python3-kpxadac,
#     soapysdr -> soapysdr0.8-module-kpxadac;
#   Windows: scripts/package.sh stages `cmake --install` of the cross build
#     and makes the NSIS installer and the zip from that tree.
# Whatever an install rule puts in a component lands in its package, so a
# new program installed with kpxadac_install_program needs no list here.
# Included last, after every install rule.
option(KPXADAC_DEBIAN_PACKAGES "Configure for Debian packages (cpack -G DEB)" OFF)

set(CPACK_PACKAGE_NAME kpxadac)
set(CPACK_PACKAGE_VENDOR "the KPX-ADAC SDK developers")
set(CPACK_PACKAGE_CONTACT "KPX-ADAC SDK developers <sdk@kpxadac.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR TGZ)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT docs FILES_MATCHING PATTERN "*.md")

if(NOT KPXADAC_DEBIAN_PACKAGES)
  include(CPack)
  return()
endif()

# ---- Debian -------------------------------------------------------------------
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages install into /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
if(KPXADAC_PYTHON_WITH_LIBRARY)
  message(FATAL_ERROR "python3-kpxadac uses libkpxadac1's library: configure with "
                      "-DKPXADAC_PYTHON_WITH_LIBRARY=OFF")
endif()
set(debian_revision 1)
set(debian_version ${PROJECT_VERSION}-${debian_revision})
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^kpxadac \\(${debian_version}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not start with version ${debian_version}: "
                      "${changelog_head}")
endif()

# Debian's package name of each component. The documentation goes with the
# development files.
set(debian_components runtime development tools python)
set(debian_package_runtime libkpxadac1)
set(debian_package_response libkpxadac-response1)
set(debian_package_development libkpxadac-dev)
set(debian_package_tools kpxadac-tools)
set(debian_package_python python3-kpxadac)
set(debian_package_soapysdr soapysdr0.8-module-kpxadac)
if(TARGET kpxadac_response)
  list(APPEND debian_components response)
else()
  message(FATAL_ERROR "Debian packages: kpxadac-tools and python3-kpxadac need libkpxadac_response, "
                      "which was not built (FFTW 3 or Eigen 3 missing)")
endif()
if(TARGET kpxadacSupport)
  list(APPEND debian_components soapysdr)
endif()

# Each package carries the copyright and the changelog in its doc folder.
set(changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
                OUTPUT_FILE ${changelog_gz} RESULT_VARIABLE gzip_failed)
if(gzip_failed)
  message(FATAL_ERROR "gzip of packaging/debian/changelog failed")
endif()
foreach(component ${debian_components})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${debian_package_${component}}
          COMPONENT ${component})
endforeach()

# The packages take every component except docs, whose files go to
# libkpxadac-dev's doc folder (CMAKE_INSTALL_DOCDIR is set so by
# scripts/package.sh). A component that no package takes fails the build of
# the packages (scripts/package.sh checks "Unspecified").
set(CPACK_COMPONENTS_ALL ${debian_components} docs)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
foreach(component ${debian_components})
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_GROUP ${component})
endforeach()
set(CPACK_COMPONENT_DOCS_GROUP development)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${debian_revision})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
# Dependencies on the system's libraries from what the binaries link
# (dpkg-shlibdeps); on our own library, which is not installed while the
# packages are made, at this very version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/host ${PROJECT_BINARY_DIR}/analysis)
foreach(component ${debian_components})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${debian_package_${component}})
  if(NOT component STREQUAL "runtime")
    set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "libkpxadac1 (= ${debian_version})")
  endif()
endforeach()
# kpxadac-response links the response library; libkpxadac-dev has its headers and link name.
foreach(upper TOOLS DEVELOPMENT)
  string(APPEND CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS ", libkpxadac-response1 (= ${debian_version})")
endforeach()
set(summary "KPX-ADAC acquisition boards")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${summary}: board access library
 The board access library of the KPX-ADAC host SDK: board registry, driver
 requests, FPGA configuration, streaming transfers, continuous acquisition
 and the ADC board control, with virtual boards for machines without one.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The shlibs file (packages built against it depend on libkpxadac1 of at
# least this version) and the ldconfig trigger. CPack also writes a postinst
# and postrm calling ldconfig for libraries below /usr/lib; they are redundant
# with the trigger and harmless.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libkpxadac1/triggers)
set(CPACK_DEBIAN_RESPONSE_DESCRIPTION "${summary}: stimulus-response library
 The stimulus-response library of the KPX-ADAC host SDK: a device's
 frequency response, measured with a DAC board driving it and an ADC board
 capturing its output (stepped sine, multitone, swept sine), and its
 analysis. kpxadac-response and the Python package kpxadac use it.")
set(CPACK_DEBIAN_RESPONSE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RESPONSE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libkpxadac1/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "${summary}: development files
 Headers, static library, pkg-config file and CMake package of the KPX-ADAC
 board access library, with the SDK's documentation.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "${summary}: command-line tools
 kpxadac-info lists the boards, kpxadac-capture records samples (raw or
 SigMF), kpxadac-analyze measures an ADC channel's dynamic figures,
 kpxadac-response measures a device's frequency response with a DAC and
 an ADC board (with libkpxadac-response1's library),
 kpxadac-scope shows a board live in the browser, kpxadac-scpi makes the
 boards a SCPI instrument for VISA clients, and talvo_rx_demo is the
 receive demo.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "${summary}: Python 3 package
 The Python package kpxadac: the KPX-ADAC SDK from Python through ctypes,
 samples as numpy arrays, SigMF recordings read back with their gaps.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# Byte code is compiled after installing and removed before removing, as
# Debian's own Python packages do.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/python3-kpxadac/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/python3-kpxadac/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# kpxadac.response loads libkpxadac_response by the system's loader, as the package does libkpxadac.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, python3-numpy, libkpxadac1 (>= ${debian_version}), libkpxadac-response1 (>= ${debian_version})")
set(CPACK_DEBIAN_SOAPYSDR_DESCRIPTION "${summary}: SoapySDR module
 The SoapySDR module kpxadac: every KPX-ADAC board as a SoapySDR device for
 GNU Radio, SoapySDRUtil, Python and SoapyRemote.")
set(CPACK_DEBIAN_SOAPYSDR_PACKAGE_SECTION hamradio)
include(CPack)
