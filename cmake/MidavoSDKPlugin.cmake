# midavo_add_plugin(NAME [SOURCES] sources... [OUTPUT_DIR dir] [LIBS libs...])
#
# Builds the plug-in library NAME.so against the installed kit (target Midavo::sdk):
#   - a MODULE library named NAME.so, without the "lib" prefix: the host scans its Modules
#     folder for *.so and loads each file by that name;
#   - hidden visibility: only the functions marked MD_EXPORT leave the library;
#   - the kit's own symbols stay inside the library (--exclude-libs), so two plug-ins built
#     against different kit versions never share one copy of them;
#   - no "unique" symbols (-fno-gnu-unique): glibc never unloads a library that defines one, and
#     the host must be able to unload every plug-in.
# OUTPUT_DIR defaults to <build dir>/Modules. LIBS are linked privately (e.g. Qt6::Widgets for a
# property page).
function(midavo_add_plugin name)
  cmake_parse_arguments(P "" "OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  if(NOT P_SOURCES)
    set(P_SOURCES ${P_UNPARSED_ARGUMENTS})
  endif()
  if(NOT P_OUTPUT_DIR)
    set(P_OUTPUT_DIR ${CMAKE_BINARY_DIR}/Modules)
  endif()
  add_library(${name} MODULE ${P_SOURCES})
  target_link_libraries(${name} PRIVATE Midavo::sdk ${P_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIR})
  target_compile_options(${name} PRIVATE -fno-gnu-unique)
  target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()
