# kpxadac_warnings(target): our own code builds with warnings on, as errors.
function(kpxadac_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KPXADAC_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                           -Wno-sign-conversion $<$<BOOL:${KPXADAC_WERROR}>:-Werror>)
  endif()
endfunction()
