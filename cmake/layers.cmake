# One static library per layer. Each layer names the folders whose headers it owns and the
# layers it may use; target_link_libraries states that direction, and the include check
# (tools/check-layers.py, run by ctest) fails when a source includes a header of a layer its
# own layer does not reach. The map the check reads is written at the end of the configure
# step (assinador_write_layer_map).

# assinador_layer(NAME FOLDERS <folder>... SOURCES <file>... [LINKS <layer>...]
#                 [EXTERNAL <target>...])
# FOLDERS are relative to the project's root, SOURCES to the calling CMakeLists.txt.
function(assinador_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 L "" "" "FOLDERS;SOURCES;LINKS;EXTERNAL")
  list(TRANSFORM L_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  add_library(${name} STATIC ${L_SOURCES})
  target_compile_options(${name} PRIVATE ${ASSINADOR_WARNINGS})
  target_link_libraries(${name} PUBLIC ${L_LINKS} ${L_EXTERNAL})
  _assinador_record_layer(${name} library "${L_FOLDERS}" "${L_SOURCES}" "${L_LINKS}")
endfunction()

# assinador_program(NAME FOLDERS <folder>... SOURCES <file>... LINKS <layer>...)
# A program is the top of the graph: nothing links it, and the headers of a folder it shares
# with a library are the library's.
function(assinador_program name)
  cmake_parse_arguments(PARSE_ARGV 1 L "" "" "FOLDERS;SOURCES;LINKS")
  list(TRANSFORM L_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  add_executable(${name} ${L_SOURCES})
  target_compile_options(${name} PRIVATE ${ASSINADOR_WARNINGS})
  target_link_libraries(${name} PRIVATE ${L_LINKS})
  _assinador_record_layer(${name} program "${L_FOLDERS}" "${L_SOURCES}" "${L_LINKS}")
endfunction()

function(_assinador_record_layer name kind folders sources links)
  set_property(GLOBAL APPEND PROPERTY ASSINADOR_LAYERS ${name})
  set_property(GLOBAL PROPERTY ASSINADOR_LAYER_${name}_KIND "${kind}")
  set_property(GLOBAL PROPERTY ASSINADOR_LAYER_${name}_FOLDERS "${folders}")
  set_property(GLOBAL PROPERTY ASSINADOR_LAYER_${name}_SOURCES "${sources}")
  set_property(GLOBAL PROPERTY ASSINADOR_LAYER_${name}_LINKS "${links}")
endfunction()

# One line per layer: name|kind|folders|sources|links, lists separated by ';'.
function(assinador_write_layer_map file)
  get_property(layers GLOBAL PROPERTY ASSINADOR_LAYERS)
  set(text "")
  foreach(layer ${layers})
    get_property(kind GLOBAL PROPERTY ASSINADOR_LAYER_${layer}_KIND)
    get_property(folders GLOBAL PROPERTY ASSINADOR_LAYER_${layer}_FOLDERS)
    get_property(sources GLOBAL PROPERTY ASSINADOR_LAYER_${layer}_SOURCES)
    get_property(links GLOBAL PROPERTY ASSINADOR_LAYER_${layer}_LINKS)
    list(TRANSFORM sources REPLACE "^${PROJECT_SOURCE_DIR}/" "")
    string(APPEND text "${layer}|${kind}|${folders}|${sources}|${links}\n")
  endforeach()
  file(GENERATE OUTPUT ${file} CONTENT "${text}")
endfunction()
