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

# Runs a consumer program and checks that it printed what matches pattern.
function(run_consumer program pattern)
  run(${program})
  if(NOT last_output MATCHES "${pattern}")
    message(FATAL_ERROR "unexpected output of ${program}: ${last_output}")
  endif()
endfunction()

# Sets variable to the flags pkg-config prints for mixlink with the given options, as a list.
function(pkg_config_flags variable)
  run(${PKG_CONFIG} ${ARGN} mixlink)
  string(STRIP "${last_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(${variable} ${flags} PARENT_SCOPE)
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
run_consumer(${WORK_DIR}/build/consumer "mixlink 12293")

if(NOT PKG_CONFIG)
  message(STATUS "pkg-config is not installed: its part is skipped")
  return()
endif()
file(GLOB_RECURSE pc_files ${prefix}/*/mixlink.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
pkg_config_flags(flags --cflags --libs)
run(${CXX} ${SOURCE_DIR}/main.cpp ${flags} ${link_flags} -o ${WORK_DIR}/consumer-pc)
run_consumer(${WORK_DIR}/consumer-pc "mixlink 12293")

# A C program: the whole public header as strict C11, the library (static or shared) through the
# .pc file's flags alone.
if(NOT C_COMPILER)
  message(STATUS "no C compiler: the C consumer is skipped")
  return()
endif()
pkg_config_flags(cflags --cflags)
pkg_config_flags(libs --libs)
run(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror ${cflags} ${SOURCE_DIR}/main.c ${libs} ${link_flags}
    -o ${WORK_DIR}/consumer-c)
run_consumer(${WORK_DIR}/consumer-c "mixlink 12293 .*, 38517 nodes")
