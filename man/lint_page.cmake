# Lints one manual page: groff, with every warning on, must have nothing to
# say about it, and its title line must name the version being built.
#
#   cmake -DGROFF=groff -DPAGE=kevo-modify.1 -DVERSION=1.0.0 -P lint_page.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT output STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${PAGE} (status ${status}):\n${output}")
endif()

file(STRINGS ${PAGE} title REGEX "^[.]TH " LIMIT_COUNT 1)
string(FIND "${title}" "\"kevo ${VERSION}\"" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${PAGE}: the title line does not name kevo ${VERSION}: ${title}")
endif()
