# SPDX-License-Identifier: MIT
# Installs the built library into a scratch prefix, then builds and runs a consumer against it,
# once through find_package and once through pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(link_flags "")
if(SANITIZE)
  set(link_flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_EXE_LINKER_FLAGS=${link_flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
if(NOT last_output MATCHES "mixlink 12293")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

if(NOT PKG_CONFIG)
  message(STATUS "pkg-config is not installed: its part is skipped")
  return()
endif()
file(GLOB_RECURSE pc_files ${prefix}/*/mixlink.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs mixlink)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} ${SOURCE_DIR}/main.cpp ${flags} ${link_flags} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
if(NOT last_output MATCHES "mixlink 12293")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# A C program: the whole public header as strict C11, the library (static or shared) through the
# .pc file's flags alone.
if(NOT C_COMPILER)
  message(STATUS "no C compiler: the C consumer is skipped")
  return()
endif()
run(${PKG_CONFIG} --cflags mixlink)
string(STRIP "${last_output}" cflags)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
run(${PKG_CONFIG} --libs mixlink)
string(STRIP "${last_output}" libs)
separate_arguments(libs UNIX_COMMAND "${libs}")
run(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror ${cflags} ${SOURCE_DIR}/main.c ${libs} ${link_flags}
    -o ${WORK_DIR}/consumer-c)
run(${WORK_DIR}/consumer-c)
if(NOT last_output MATCHES "mixlink 12293 .*, 38517 nodes")
  message(FATAL_ERROR "unexpected C consumer output: ${last_output}")
endif()
