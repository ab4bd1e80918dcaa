# SPDX-License-Identifier: MIT
# The library's layers: each folder an object library whose objects make up mixlink, in the order
# link, meters, dictionary, values, nodes; a layer builds on the layers it names and on no other.
#
#   mixlink_layer(NAME SOURCES file... [USES layer...])
#
# A layer includes its own private headers by their plain names and those of a layer it uses as
# "<layer>/<header>.h". Only the layers it names are on its include path, so an include that
# points up the order, or sideways, does not build. mixlink_<NAME>_headers carries that include
# path (and the public headers') to what else is built beside the library and feeds its internal
# parts: the dictionary's generator, mixsim, the tests, the fuzzers and the benchmarks.
function(mixlink_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;USES" ${ARGN})

  # The source root would open every folder at once; instead each layer has a root of its own in
  # the build folder, holding one line per header that includes the real one.
  set(root ${PROJECT_BINARY_DIR}/layers/${name})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(header ${headers})
    get_filename_component(file ${header} NAME)
    file(CONFIGURE OUTPUT ${root}/${name}/${file} CONTENT "#include \"${header}\"\n")
  endforeach()

  # A path out of the folder would step round the include path.
  foreach(file ${L_SOURCES} ${headers})
    get_filename_component(file ${file} ABSOLUTE)
    if(EXISTS ${file})
      file(STRINGS ${file} outward REGEX "^#include \"\\.\\./")
      if(outward)
        message(FATAL_ERROR "${file}: ${outward}: include another layer's header as \"<layer>/<header>.h\"")
      endif()
    endif()
  endforeach()

  add_library(mixlink_${name}_headers INTERFACE)
  target_include_directories(mixlink_${name}_headers INTERFACE ${root} ${MIXLINK_PUBLIC_INCLUDE_DIRS})
  foreach(lower ${L_USES})
    if(NOT TARGET mixlink_${lower}_headers)
      message(FATAL_ERROR "layer ${name} uses ${lower}, which is not a layer below it")
    endif()
    target_link_libraries(mixlink_${name}_headers INTERFACE mixlink_${lower}_headers)
  endforeach()

  add_library(mixlink_${name} OBJECT ${L_SOURCES})
  target_link_libraries(mixlink_${name} PRIVATE mixlink_${name}_headers)
  set_target_properties(mixlink_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_sources(mixlink PRIVATE $<TARGET_OBJECTS:mixlink_${name}>)
endfunction()
