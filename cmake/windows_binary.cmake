# What makes a Windows binary fit to ship: the same bytes from every build of a commit, a version
# resource, and debug information split off into a file of its own.

# No time stamp in the PE header and no build folder in the binaries: two builds of one commit in
# two folders give the same bytes. The later map wins where both match (a tree inside the sources).
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp)

enable_language(RC)

# orma_windows_binary(target "description" [object libraries...]): the target, and the object
# libraries whose code it links, are compiled with debug information; the target gets a
# VERSIONINFO resource (file and product version from the project's version); after each link
# its debug information goes to <file>.debug next to it, and the file itself is stripped and names
# that file in its .gnu_debuglink section, so that a debugger finds it. The build tree thus holds
# what ships, and the tests run it.
function(orma_windows_binary target description)
  foreach(compiled ${target} ${ARGN})
    target_compile_options(${compiled} PRIVATE -g)
  endforeach()
  get_target_property(type ${target} TYPE)
  get_target_property(rc_name ${target} OUTPUT_NAME)
  if(NOT rc_name)
    set(rc_name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(rc_type VFT_DLL)
    set(rc_file ${rc_name}.dll)
  else()
    set(rc_type VFT_APP)
    set(rc_file ${rc_name}.exe)
  endif()
  set(rc_description "${description}")
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE rc_copyright REGEX "^Copyright " LIMIT_COUNT 1)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)

  set(file $<TARGET_FILE:${target}>)
  # objcopy stamps the PE header with the time of day unless SOURCE_DATE_EPOCH says otherwise.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${objcopy} --only-keep-debug ${file} ${file}.debug
                     COMMAND ${objcopy} --strip-all ${file}
                     COMMAND ${objcopy} --add-gnu-debuglink=${file}.debug ${file}
                     VERBATIM)
endfunction()
