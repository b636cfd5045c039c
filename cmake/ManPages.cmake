# Manual pages: Markdown in docs/man, turned into roff by pandoc and
# compressed as Debian installs them (gzip -9n: no name, no time stamp).
find_program(TARNLINK_PANDOC pandoc)
find_program(TARNLINK_GZIP gzip)
if(NOT TARNLINK_PANDOC OR NOT TARNLINK_GZIP)
  message(STATUS "pandoc or gzip not found: manual pages are not built")
  return()
endif()

set(_man_outputs)
# page:section:install component
foreach(page tarnlink:1:tools tarnlink:3:dev)
  string(REPLACE ":" ";" parts ${page})
  list(GET parts 0 name)
  list(GET parts 1 section)
  list(GET parts 2 component)
  set(src ${PROJECT_SOURCE_DIR}/docs/man/${name}.${section}.md)
  set(roff ${PROJECT_BINARY_DIR}/man/${name}.${section})
  add_custom_command(OUTPUT ${roff} ${roff}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${TARNLINK_PANDOC} --standalone --from markdown --to man
      "--metadata=footer:tarnlink ${PROJECT_VERSION}" "--metadata=header:tarnlink manual"
      ${src} --output ${roff}
    COMMAND ${TARNLINK_GZIP} -9nf --keep ${roff}
    DEPENDS ${src}
    COMMENT "Manual page ${name}(${section})"
    VERBATIM)
  list(APPEND _man_outputs ${roff}.gz)
  install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(tarnlink_man ALL DEPENDS ${_man_outputs})
