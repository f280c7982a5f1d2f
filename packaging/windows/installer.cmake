# The Windows installer, built with NSIS (Debian's makensis) from moonfetch.nsi beside this file.
find_program(MOON_MAKENSIS makensis REQUIRED)

# moon_installer(TARGET OUTPUT PROGRAM): the target TARGET builds OUTPUT, the installer of the
# executable target PROGRAM and the manual, with the program's icon.
function(moon_installer target output program)
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/moonfetch.nsi)
  set(manual ${PROJECT_SOURCE_DIR}/docs/manual.html)
  set(icon ${PROJECT_SOURCE_DIR}/ui/icons/moonfetch.ico)
  add_custom_command(OUTPUT ${output}
    COMMAND ${MOON_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DPROGRAM=$<TARGET_FILE:${program}>
            -DMANUAL=${manual} -DICON=${icon} -DOUTFILE=${output} ${script}
    DEPENDS ${script} ${manual} ${icon} ${program}
    COMMENT "Building the installer ${output}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${output})
endfunction()
