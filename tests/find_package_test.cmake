# Installs the built project into a scratch prefix inside the build tree,
# checks that the tools and manual pages are there and run, then configures,
# builds and runs the consumer project against that prefix alone, and with it
# the README's C++ example, cut from the README as it stands, on a sample
# recording the installed kevo-sample writes.
#
#   cmake -D BUILD_DIR=... -D SCRATCH_DIR=... -D CONSUMER_DIR=... -D README=...
#         -D GENERATOR=...
#         -D MAKE_PROGRAM=... -D CXX_COMPILER=... -D CXX_FLAGS=... -D EXE_LINKER_FLAGS=...
#         -D BUILD_TYPE=... -D BINDIR=... -D MANDIR=... -D TOOLS=a,b -D VERSION=...
#         -P find_package_test.cmake

cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "${command}\nexited with ${status}:\n${output}")
  endif()
endfunction()

set(prefix ${SCRATCH_DIR}/prefix)
file(REMOVE_RECURSE ${SCRATCH_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

string(REPLACE "," ";" tools "${TOOLS}")
list(TRANSFORM tools PREPEND ${BINDIR}/ OUTPUT_VARIABLE expected)
list(TRANSFORM tools PREPEND ${MANDIR}/man1/ OUTPUT_VARIABLE pages)
list(TRANSFORM pages APPEND .1)
list(APPEND expected ${pages})
foreach(file IN LISTS expected)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# kevo-modify without arguments prints its usage and exits with -1: proof
# enough that the installed program starts.
execute_process(COMMAND ${prefix}/${BINDIR}/kevo-modify RESULT_VARIABLE status
                ERROR_VARIABLE usage)
if(NOT status EQUAL 255 OR NOT usage MATCHES "^kevo-modify ")
  message(FATAL_ERROR "installed kevo-modify: status ${status}, output:\n${usage}")
endif()
if("kevo-info" IN_LIST tools)
  execute_process(COMMAND ${prefix}/${BINDIR}/kevo-info --version RESULT_VARIABLE status
                  OUTPUT_VARIABLE version)
  if(NOT status EQUAL 0 OR NOT version STREQUAL "kevo-info ${VERSION}\n")
    message(FATAL_ERROR "installed kevo-info --version: status ${status}, output:\n${version}")
  endif()
endif()

# Checked whatever TOOLS says: TOOLS comes from the list the install rules
# use, so a kevo-edit dropped from that list must still fail here.
execute_process(COMMAND ${prefix}/${BINDIR}/kevo-edit --version RESULT_VARIABLE status
                OUTPUT_VARIABLE version ERROR_VARIABLE version)
if(NOT status EQUAL 0 OR NOT version STREQUAL "kevo-edit ${VERSION}\n")
  message(FATAL_ERROR "installed kevo-edit --version: status ${status}, output:\n${version}")
endif()

# The first C++ block of the README, whatever it holds.
file(READ ${README} readme)
string(FIND "${readme}" "```cpp\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "the README has no C++ example")
endif()
math(EXPR start "${start} + 7")
string(SUBSTRING "${readme}" ${start} -1 example)
string(FIND "${example}" "```" end)
string(SUBSTRING "${example}" 0 ${end} example)
file(WRITE ${SCRATCH_DIR}/readme_example.cpp "${example}")

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${SCRATCH_DIR}/build -G ${GENERATOR}
    -D KEVO_README_EXAMPLE=${SCRATCH_DIR}/readme_example.cpp
    -D CMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
    -D CMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}"
    -D CMAKE_BUILD_TYPE=${BUILD_TYPE}
    -D CMAKE_PREFIX_PATH=${prefix}
    -D CMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
    -D CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF
    -D CMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -D CMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run(${CMAKE_COMMAND} --build ${SCRATCH_DIR}/build)
run(${SCRATCH_DIR}/build/kevo-consumer ${SCRATCH_DIR}/consumer.kevo)

file(MAKE_DIRECTORY ${SCRATCH_DIR}/readme/archive)
run(${prefix}/${BINDIR}/kevo-sample ${SCRATCH_DIR}/readme/archive/rec3.kevo)
execute_process(COMMAND ${SCRATCH_DIR}/build/kevo-readme-example
                WORKING_DIRECTORY ${SCRATCH_DIR}/readme RESULT_VARIABLE status
                OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT output STREQUAL "archive/rec3.kevo: pav2/mic 800 -> 1400\n")
  message(FATAL_ERROR "the README's C++ example: status ${status}, output:\n${output}")
endif()
