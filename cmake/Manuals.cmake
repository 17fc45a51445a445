# Manual pages (section 1) and bash completion for every program that
# kpxadac_install_program installs (cmake/Programs.cmake keeps the list), so
# that a new program gets both by being installed.
#
# A page is made at build time by help2man from the program's own --help,
# the one text of its options; docs/man/common.h2m adds the environment
# section, and the see-also section names every other program of the list. A program without --help (talvo_rx_demo, which runs
# at once) has its page written in docs/man/<program>.1 instead. The pages
# are installed gzip-compressed into share/man/man1 (component tools).
#
# The completion (tools/common/kpxadac-completion.bash) reads the options and
# their words from the program's --help when it completes, and the boards
# from kpxadac-info --json; it is installed once per program under
# share/bash-completion/completions, where bash-completion looks for it.
#
# Cross builds and Windows make neither: the programs do not run on the build
# machine; scripts/package.sh puts text pages made from a native build into
# the Windows zip and installer.
get_property(kpxadac_programs GLOBAL PROPERTY KPXADAC_PROGRAMS)
if(WIN32 OR CMAKE_CROSSCOMPILING OR NOT kpxadac_programs)
  return()
endif()

find_program(KPXADAC_HELP2MAN help2man DOC "help2man, which makes the manual pages from --help")
find_program(KPXADAC_GZIP gzip)
option(KPXADAC_MANUALS "Make and install the programs' manual pages (needs help2man)" ON)

if(KPXADAC_MANUALS AND (NOT KPXADAC_HELP2MAN OR NOT KPXADAC_GZIP))
  message(WARNING "Manual pages left out: help2man (Debian: help2man) or gzip is missing")
elseif(KPXADAC_MANUALS)
  set(man_dir ${PROJECT_BINARY_DIR}/man)
  set(man_pages)
  file(READ ${PROJECT_SOURCE_DIR}/docs/man/common.h2m common)
  set(see_also)
  foreach(program ${kpxadac_programs})
    string(APPEND see_also ".BR ${program} (1),\n")
  endforeach()
  file(WRITE ${man_dir}/common.h2m "${common}\n[SEE ALSO]\n${see_also}\
The SDK's documentation: /usr/share/doc/libkpxadac-dev on Debian, the doc folder of the\n\
installed SDK elsewhere.\n")
  foreach(program ${kpxadac_programs})
    set(page ${man_dir}/${program}.1)
    set(written ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
    if(EXISTS ${written})
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${written} ${page}
        COMMAND ${KPXADAC_GZIP} -9 -n -f ${page}
        DEPENDS ${written} VERBATIM)
    else()
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DPAGE=${page}
                -DHELP2MAN=${KPXADAC_HELP2MAN} -DGZIP=${KPXADAC_GZIP} -DVERSION=${PROJECT_VERSION}
                -DINCLUDE=${man_dir}/common.h2m
                -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
                ${PROJECT_SOURCE_DIR}/docs/man/common.h2m VERBATIM)
    endif()
    list(APPEND man_pages ${page}.gz)
  endforeach()
  add_custom_target(kpxadac-man ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The completion registers itself for every program of the list that has a
# --help to read (those with a page written in docs/man/ have none).
set(completed)
foreach(program ${kpxadac_programs})
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
    list(APPEND completed ${program})
  endif()
endforeach()
list(JOIN completed " " KPXADAC_COMPLETED_PROGRAMS)
configure_file(${PROJECT_SOURCE_DIR}/tools/common/kpxadac-completion.bash
               ${PROJECT_BINARY_DIR}/completion/kpxadac-completion.bash @ONLY)
foreach(program ${completed})
  install(FILES ${PROJECT_BINARY_DIR}/completion/kpxadac-completion.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${program}
          COMPONENT tools)
endforeach()

# The completion's words, asked of the built programs as bash-completion asks.
if(KPXADAC_BUILD_TESTS)
  find_program(KPXADAC_BASH bash)
  if(KPXADAC_BASH)
    set(program_folders)
    foreach(program ${completed})
      list(APPEND program_folders $<TARGET_FILE_DIR:${program}>)
    endforeach()
    add_test(NAME completion_words
             COMMAND ${KPXADAC_BASH} ${PROJECT_SOURCE_DIR}/tests/completion/completion_test.sh
                     ${PROJECT_BINARY_DIR}/completion/kpxadac-completion.bash
                     "$<JOIN:${program_folders},:>" ${completed})
    set_tests_properties(completion_words PROPERTIES TIMEOUT 120)
  endif()
endif()
