# kpxadac_install_program(target): installs a program into the prefix's
# program folder with a run path relative to the program itself, so that it
# finds the installed library in any prefix without LD_LIBRARY_PATH.
# Every program installed this way is in the component "tools", and so in
# the packages and the installer, and gets a manual page and bash completion
# (cmake/Manuals.cmake reads the list this keeps).
function(kpxadac_install_program target)
  if(NOT WIN32)
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    if(APPLE)
      set(origin @loader_path)
    else()
      set(origin $ORIGIN)
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${origin}/${bin_to_lib}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  set_property(GLOBAL APPEND PROPERTY KPXADAC_PROGRAMS ${target})
endfunction()
