# Manual pages of the tools, made from their --help and --version by help2man (Debian package
# help2man) and installed to share/man/man1. Without help2man the build says so and makes none.
find_program(ORMA_HELP2MAN help2man)
if(NOT ORMA_HELP2MAN)
  message(STATUS "help2man not found: the manual pages of ormactl and ormasim are not made")
  return()
endif()
set(man_dir ${CMAKE_BINARY_DIR}/man)
set(pages)
foreach(tool_and_name "ormactl|talk to a DAB receiver module through the ORMA_DLL library"
                      "ormasim|simulate a DAB receiver module for the ORMA_DLL library")
  string(REPLACE "|" ";" parts "${tool_and_name}")
  list(GET parts 0 tool)
  list(GET parts 1 name)
  add_custom_command(OUTPUT ${man_dir}/${tool}.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${ORMA_HELP2MAN} --no-info --no-discard-stderr --section=1 "--name=${name}"
            --output=${man_dir}/${tool}.1 $<TARGET_FILE:${tool}>
    DEPENDS ${tool} VERBATIM
    COMMENT "Manual page of ${tool} (help2man)")
  list(APPEND pages ${man_dir}/${tool}.1)
endforeach()
add_custom_target(manpages ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
