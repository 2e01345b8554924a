# Checks that the layers of cmake/SarnLayers.cmake only look down, beyond
# what their include roots already refuse, each run as part of the build so
# that a violation fails it:
#
# - sarn_check_relative_includes: no file of the given folders includes by a
#   path with ".." or an absolute path (scripts/layer_includes.py), which
#   would reach any folder, upward too, past the include roots.
# - sarn_check_headers: each header of a folder compiles alone (twice, for
#   its include guard) with only what its target passes to its users, so a
#   lower header that includes an upper one fails even when only upper
#   layers include it.
# - sarn_check_layer_symbols: each layer's object files use only the driver
#   symbols (namespace sarn, names starting with sarn or Sarn) defined by the
#   layers it links (scripts/layer_symbols.py over nm's output), so an upward
#   call through a hand-written declaration fails.
#
# SARN_ROOT is the source root; SARN_LAYER_OPTIONS extra compile options.
include_guard(GLOBAL)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(SARN_CHECK_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/../scripts)

# sarn_check_relative_includes(<name> <folder>...): target <name>.
function(sarn_check_relative_includes name)
  set(files)
  foreach(folder ${ARGN})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${SARN_ROOT}/${folder}/*)
    list(APPEND files ${found})
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${Python3_EXECUTABLE} ${SARN_CHECK_SCRIPTS}/layer_includes.py ${SARN_ROOT} ${ARGN}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${files} ${SARN_CHECK_SCRIPTS}/layer_includes.py
    COMMENT "No include by a relative path in the layers' folders"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${stamp})
endfunction()

# sarn_check_headers(<target> <folder> [BARE]): an object library
# <target>_headers of one unit per header of <folder>, each including it as
# "<folder>/<file>.h" (BARE: as "<file>.h") and linking only <target>.
function(sarn_check_headers target folder)
  cmake_parse_arguments(PARSE_ARGV 2 H "BARE" "" "")
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${SARN_ROOT}/${folder} ${SARN_ROOT}/${folder}/*.h)
  set(units)
  foreach(header ${headers})
    set(name ${folder}/${header})
    if(H_BARE)
      set(name ${header})
    endif()
    get_filename_component(stem ${header} NAME_WE)
    set(unit ${CMAKE_CURRENT_BINARY_DIR}/sarn_headers/${folder}/${stem}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${name}\"\n#include \"${name}\"\n")
    list(APPEND units ${unit})
  endforeach()
  if(units)
    add_library(${target}_headers OBJECT ${units})
    target_link_libraries(${target}_headers PRIVATE ${target})
    target_compile_options(${target}_headers PRIVATE -fno-exceptions -fno-rtti ${SARN_LAYER_OPTIONS})
  endif()
endfunction()

# The targets whose symbols <target> may use: those it links, with what they
# pass on to their users, in <out>.
function(_sarn_linked target out)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(pending ${target} INTERFACE_LINK_LIBRARIES)
  else()
    get_target_property(pending ${target} LINK_LIBRARIES)
  endif()
  set(linked)
  while(pending)
    list(POP_FRONT pending next)
    if(NOT TARGET ${next} OR next IN_LIST linked)
      continue() # a private dependency ($<LINK_ONLY:...>), a system library
    endif()
    list(APPEND linked ${next})
    get_target_property(passed ${next} INTERFACE_LINK_LIBRARIES)
    if(passed)
      list(APPEND pending ${passed})
    endif()
  endwhile()
  set(${out} ${linked} PARENT_SCOPE)
endfunction()

# sarn_check_layer_symbols(<name> LAYERS <target>... [PROVIDES <api>=<target>...]):
# target <name>. PROVIDES names the target whose objects implement an
# interface target (a seam linked by its header, its code chosen later).
function(sarn_check_layer_symbols name)
  cmake_parse_arguments(PARSE_ARGV 1 S "" "" "LAYERS;PROVIDES")
  set(lines)
  set(objects)
  foreach(layer ${S_LAYERS})
    _sarn_linked(${layer} linked)
    foreach(pair ${S_PROVIDES})
      string(REPLACE "=" ";" pair ${pair})
      list(GET pair 0 api)
      list(GET pair 1 provider)
      list(TRANSFORM linked REPLACE "^${api}$" ${provider})
    endforeach()
    list(JOIN linked "," linked)
    string(APPEND lines "${layer}\t$<JOIN:$<TARGET_OBJECTS:${layer}>,,>\t${linked}\n")
    list(APPEND objects $<TARGET_OBJECTS:${layer}>)
  endforeach()
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${name}.layers)
  file(GENERATE OUTPUT ${manifest} CONTENT "${lines}")
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${Python3_EXECUTABLE} ${SARN_CHECK_SCRIPTS}/layer_symbols.py --nm ${CMAKE_NM} ${manifest}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${S_LAYERS} ${objects} ${manifest} ${SARN_CHECK_SCRIPTS}/layer_symbols.py
    COMMENT "Each layer uses only the symbols of the layers it links"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${stamp})
endfunction()
