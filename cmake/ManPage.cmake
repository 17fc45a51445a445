# cmake -DPROGRAM=... -DPAGE=out.1 -DHELP2MAN=... -DGZIP=... -DVERSION=...
#       -DINCLUDE=common.h2m -P ManPage.cmake
# Makes PAGE.gz with help2man from PROGRAM's --help. The page's NAME line is
# the first line of --help (the program's description), so that nothing of
# the page is kept beside the program. The program runs by its bare name, so
# that the usage lines name it as a user types it.
get_filename_component(name ${PROGRAM} NAME)
get_filename_component(folder ${PROGRAM} DIRECTORY)
set(ENV{PATH} "${folder}:$ENV{PATH}")
execute_process(COMMAND ${name} --help OUTPUT_VARIABLE help RESULT_VARIABLE failed
                ERROR_VARIABLE error)
if(failed)
  message(FATAL_ERROR "${name} --help failed (${failed}): ${error}")
endif()
string(REGEX MATCH "^[^\n]*" description "${help}")
if(description MATCHES "^Usage:" OR description STREQUAL "")
  # A program whose --help has no description line still gets its page.
  message(WARNING "${name} --help does not start with a description line (CLI11's description)")
  set(description "a program of the KPX-ADAC SDK")
endif()
# "Captures samples from ..." -> "captures samples from ...", as NAME lines
# read; "kpxadac-scope: a live view ..." loses its own name.
string(REGEX REPLACE "\\.$" "" description "${description}")
string(REGEX REPLACE "^${name}: *" "" description "${description}")
string(SUBSTRING "${description}" 0 1 first)
string(SUBSTRING "${description}" 1 -1 rest)
string(TOLOWER "${first}" first)
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${VERSION}
                        "--name=${first}${rest}" --include=${INCLUDE}
                        --source=KPX-ADAC "--manual=KPX-ADAC SDK" --output=${PAGE} ${name}
                RESULT_VARIABLE failed ERROR_VARIABLE error)
if(failed)
  message(FATAL_ERROR "help2man ${name} failed: ${error}")
endif()
execute_process(COMMAND ${GZIP} -9 -n -f ${PAGE} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip ${PAGE} failed")
endif()
