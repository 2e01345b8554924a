# The driver's folders as layers, one target each. A layer links only the
# layers it may use, and its sources see only the headers of those: an
# include that runs upward does not compile.
#
#   include  <-  platform  <-  link  <-  transact  <-  driver
#
# with hostlog (the host's err), address (gate texts) and config (the
# initialization file) beside them: hostlog is usable from link upward,
# address from transact upward, config by driver. platform is reached only
# by link: the port layer is its one caller.
#
# A folder's headers are included as "<folder>/<file>.h". The source root is
# on no include path; each layer has an include root of its own in the build
# tree, holding a link to its folder, so that naming a folder works only for
# the layers a target links.
#
# Used by the top-level project and by the fuzz project; SARN_ROOT is the
# source root, SARN_LAYER_OPTIONS extra compile options for the layers.
include_guard(GLOBAL)

set(SARN_LAYER_ROOTS ${CMAKE_BINARY_DIR}/sarn_layers)

# Puts folder's include root on target's include path, with the given scope.
function(sarn_layer_root target folder scope)
  set(root ${SARN_LAYER_ROOTS}/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${SARN_ROOT}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# sarn_layer(<folder> SOURCES <file>... [USES <target>...] [PRIVATE_USES <target>...])
# An object library sarn_<folder>: the driver's code, no exceptions, no RTTI,
# nothing visible outside the driver but what is exported by name.
function(sarn_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 L "" "" "SOURCES;USES;PRIVATE_USES")
  list(TRANSFORM L_SOURCES PREPEND ${SARN_ROOT}/${folder}/)
  add_library(sarn_${folder} OBJECT ${L_SOURCES})
  sarn_layer_root(sarn_${folder} ${folder} PUBLIC)
  target_link_libraries(sarn_${folder} PUBLIC ${L_USES} PRIVATE ${L_PRIVATE_USES})
  target_compile_definitions(sarn_${folder} PUBLIC SARNMD_BUILD)
  set_target_properties(sarn_${folder} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
                                                  POSITION_INDEPENDENT_CODE ON)
  target_compile_options(sarn_${folder} PRIVATE -fno-exceptions -fno-rtti ${SARN_LAYER_OPTIONS})
endfunction()

# The public header, and the driver's own headers on the same level
# (sarn_handle.h, sarn_line_time.h).
add_library(sarn_include INTERFACE)
target_include_directories(sarn_include INTERFACE ${SARN_ROOT}/include)

# The host's log function.
add_library(sarn_hostlog INTERFACE)
sarn_layer_root(sarn_hostlog hostlog INTERFACE)

# The platform seam's header; its implementations are linked in by the
# driver (POSIX or Win32) or by the tests (the scripted fake).
add_library(sarn_platform_api INTERFACE)
sarn_layer_root(sarn_platform_api platform INTERFACE)
target_link_libraries(sarn_platform_api INTERFACE sarn_include)

sarn_layer(address SOURCES gate_parser.cpp block_validation.cpp USES sarn_include sarn_hostlog)
sarn_layer(config SOURCES int_file.cpp gateway_route.cpp USES sarn_include sarn_hostlog)
sarn_layer(link SOURCES port.cpp line_ledger.cpp port_record.cpp held_port.cpp frame.cpp USES sarn_include sarn_hostlog PRIVATE_USES sarn_platform_api)
sarn_layer(transact SOURCES day_clock.cpp daily_restart.cpp read.cpp write.cpp transaction_run.cpp USES sarn_link sarn_address)
sarn_layer(driver SOURCES sarn_main.cpp lifecycle.cpp driver_info.cpp record_layout.cpp
           USES sarn_transact sarn_config)

# Every layer's objects, for the shared library and for sarnmd_core.
set(SARN_LAYER_OBJECTS $<TARGET_OBJECTS:sarn_driver> $<TARGET_OBJECTS:sarn_transact> $<TARGET_OBJECTS:sarn_link>
                       $<TARGET_OBJECTS:sarn_address> $<TARGET_OBJECTS:sarn_config>)

# The driver without its platform layer, as a static library: linked with the
# POSIX layer or the scripted fake by the tests, benchmarks and fuzz targets,
# which see every layer's headers through it.
add_library(sarnmd_core STATIC ${SARN_LAYER_OBJECTS})
target_link_libraries(sarnmd_core INTERFACE sarn_driver)
