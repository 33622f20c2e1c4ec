# Attaches the icon, the manifest and the version to the executable. The
# icon images are drawn at build time by make_icons.py into <build>/res,
# beside version.h; tusak.rc picks them and tusak.manifest up through its
# include path.
function(tusak_add_resources target)
  find_program(TUSAK_PYTHON3 NAMES python3 REQUIRED)
  set(src ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/res)
  set(generated ${out}/icons.grp)
  foreach(id RANGE 1 8)
    list(APPEND generated ${out}/icon${id}.bin)
  endforeach()

  configure_file(${src}/version.h.in ${out}/version.h @ONLY)

  add_custom_command(
    OUTPUT ${generated}
    COMMAND ${TUSAK_PYTHON3} ${src}/make_icons.py ${out}
    DEPENDS ${src}/make_icons.py
    COMMENT "Drawing the icon images"
    VERBATIM)

  # windres does not report the files it embeds, so name them here.
  set_source_files_properties(${src}/tusak.rc PROPERTIES
    INCLUDE_DIRECTORIES "${out};${src}"
    OBJECT_DEPENDS "${generated};${src}/tusak.manifest;${out}/version.h")
  target_sources(${target} PRIVATE ${src}/tusak.rc ${generated})
endfunction()
