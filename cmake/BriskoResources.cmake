# brisko_add_resources(<target> <c-name> <xml> [SOURCEDIRS dir...] [DEPENDS file...])
# Compiles a GResource bundle (uncompressed) into the target. The generated
# code registers the bundle when the library or program loads. Files are
# looked up in the SOURCEDIRS in order (default: the current source folder);
# DEPENDS names every file of the bundle, so that a change rebuilds it.
find_program(GLIB_COMPILE_RESOURCES glib-compile-resources REQUIRED)

function(brisko_add_resources target cname xml)
  cmake_parse_arguments(R "" "" "SOURCEDIRS;DEPENDS" ${ARGN})
  if(NOT R_SOURCEDIRS)
    set(R_SOURCEDIRS ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(dirs)
  foreach(d ${R_SOURCEDIRS})
    list(APPEND dirs --sourcedir=${d})
  endforeach()
  get_filename_component(xml ${xml} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${cname}-resources.c)
  add_custom_command(OUTPUT ${out}
    COMMAND ${GLIB_COMPILE_RESOURCES} ${dirs} --generate-source --c-name ${cname} --target=${out} ${xml}
    DEPENDS ${xml} ${R_DEPENDS}
    COMMENT "Compiling the resource bundle ${cname}"
    VERBATIM)
  # An object library of this folder, so that the generated source is built
  # here whichever folder declared the target.
  add_library(${cname}_resources OBJECT ${out})
  target_link_libraries(${cname}_resources PRIVATE PkgConfig::GLIB)
  target_link_libraries(${target} PRIVATE ${cname}_resources)
endfunction()
