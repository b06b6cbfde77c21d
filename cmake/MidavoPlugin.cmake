# midavo_add_plugin(NAME SOURCES... [OUTPUT_DIR dir] [LIBS libs...])
# Builds NAME.so (no lib prefix) as a MODULE library that links only the sdk and exports only
# what it marks with MD_EXPORT.
function(midavo_add_plugin name)
  cmake_parse_arguments(P "" "OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  if(NOT P_SOURCES)
    set(P_SOURCES ${P_UNPARSED_ARGUMENTS})
  endif()
  if(NOT P_OUTPUT_DIR)
    set(P_OUTPUT_DIR ${MIDAVO_MODULES_DIR})
  endif()
  add_library(${name} MODULE ${P_SOURCES})
  target_link_libraries(${name} PRIVATE mdsdk ${P_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIR})
  # Keep the sdk's symbols inside the plug-in, and make no "unique" symbols: glibc never
  # unloads a library that defines one, so the host could not unload the plug-in.
  target_compile_options(${name} PRIVATE -fno-gnu-unique)
  target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()
