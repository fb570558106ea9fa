# What `cmake --install` puts where, the CMake package that lets another
# project write find_package(kevo 1 CONFIG), and the .deb of the tools.
#
# Install components: `tools` (the programs and their bash completion),
# `manual` (their manual pages), `development` (the static libraries, their
# headers and the package files), and `deb`, which only the .deb takes: the
# manual pages gzipped, and the changelog and copyright file that every
# Debian package carries. The .deb holds `tools` and `deb`.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KEVO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kevo)

# ---------------------------------------------------------------------------
# The tools and their manual pages

# One page per tool, named after it.
set(KEVO_TOOLS kevo-modify kevo-info kevo-edit kevo-sample)
list(TRANSFORM KEVO_TOOLS PREPEND ${PROJECT_SOURCE_DIR}/man/ OUTPUT_VARIABLE KEVO_MANUAL_PAGES)
list(TRANSFORM KEVO_MANUAL_PAGES APPEND .1)
install(TARGETS ${KEVO_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${KEVO_MANUAL_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)

# Bash completion, one file per tool named after it, where bash-completion
# looks for it when the tool is first completed: its completionsdir with the
# prefix redefined to ours, /usr/share/bash-completion/completions in the
# .deb. What the four share is in kevo-info's, which the others source from
# beside them.
list(TRANSFORM KEVO_TOOLS PREPEND ${PROJECT_SOURCE_DIR}/completion/ OUTPUT_VARIABLE KEVO_COMPLETIONS)
set(KEVO_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${KEVO_COMPLETIONS} DESTINATION ${KEVO_COMPLETIONS_DIR} COMPONENT tools)

# ---------------------------------------------------------------------------
# The libraries, as kevo::container, kevo::reader, kevo::decoder and
# kevo::edit (the names of their ALIAS targets too)
#
# Headers land in include/kevo/<folder>/, so a consumer writes
# #include <kevo/reader/kevo_reader.h>. The headers include one another as
# "container/kevo_container.h", the way the source tree lays them out, so the
# installed targets also put include/kevo on the consumer's include path.

set_target_properties(kevo_container PROPERTIES EXPORT_NAME container)
set_target_properties(kevo_reader PROPERTIES EXPORT_NAME reader)
set_target_properties(kevo_decoder PROPERTIES EXPORT_NAME decoder)
set_target_properties(kevo_edit PROPERTIES EXPORT_NAME edit)
target_include_directories(kevo_container INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kevo>)

install(TARGETS kevo_container kevo_reader kevo_decoder kevo_edit EXPORT kevoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kevo COMPONENT development)
install(EXPORT kevoTargets NAMESPACE kevo:: DESTINATION ${KEVO_PACKAGE_DIR}
        COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kevoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kevoConfig.cmake INSTALL_DESTINATION ${KEVO_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kevoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kevoConfig.cmake ${PROJECT_BINARY_DIR}/kevoConfigVersion.cmake
        DESTINATION ${KEVO_PACKAGE_DIR} COMPONENT development)

# ---------------------------------------------------------------------------
# The Debian package: `cpack -G DEB` in the build folder. It holds the tools
# and what only a package ships; the libraries are for building, not for
# running. Debian's policy wants the manual pages and the changelog
# compressed with gzip -9n: the best compression, and no name or time stamp,
# so that the same sources give the same package.

find_program(KEVO_GZIP gzip REQUIRED)
set(KEVO_DEB_DIR ${PROJECT_BINARY_DIR}/deb)
set(KEVO_DEB_GZIPPED)
foreach(source IN LISTS KEVO_MANUAL_PAGES ITEMS ${CMAKE_CURRENT_LIST_DIR}/deb/changelog)
  cmake_path(GET source FILENAME name)
  add_custom_command(OUTPUT ${KEVO_DEB_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${KEVO_DEB_DIR}/${name}
    COMMAND ${KEVO_GZIP} -9nf ${KEVO_DEB_DIR}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name} for the .deb"
    VERBATIM)
  list(APPEND KEVO_DEB_GZIPPED ${KEVO_DEB_DIR}/${name}.gz)
endforeach()
add_custom_target(kevo_deb_files ALL DEPENDS ${KEVO_DEB_GZIPPED})

list(TRANSFORM KEVO_TOOLS PREPEND ${KEVO_DEB_DIR}/ OUTPUT_VARIABLE KEVO_DEB_MANUAL_PAGES)
list(TRANSFORM KEVO_DEB_MANUAL_PAGES APPEND .1.gz)
install(FILES ${KEVO_DEB_MANUAL_PAGES}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${KEVO_DEB_DIR}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)

set(KEVO_PACKAGE_MAINTAINER "kevo developers <kevo@example.org>"
    CACHE STRING "The Maintainer field of the .deb")

set(CPACK_PACKAGE_NAME kevo)
set(CPACK_PACKAGE_VENDOR "kevo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KEVO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "view and edit the headers of KEVO sensor recordings")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kevo-info prints the header of KEVO recordings as text or JSON, and finds"
  "an atom by its fourccs. kevo-edit sets integer meta values, chosen by their"
  "fourccs, in the headers of many recordings in one run, with a condition, a"
  "dry run and JSON output for scripts. kevo-modify changes one value chosen"
  "by its indices, with the interface existing scripts rely on. Both edit in"
  "place, without reading or writing the packet data. kevo-sample writes a"
  "sample recording to try them on.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools deb)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps works out the C library (and libstdc++, when it is not
# linked in) that the tools need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# ---------------------------------------------------------------------------
# The test that the installed package works: install into a scratch prefix
# in the build tree, then configure, build and run a consumer against it, and
# the README's C++ example as the README shows it.

if(KEVO_BUILD_TESTS)
  list(JOIN KEVO_TOOLS "," KEVO_INSTALLED_TOOLS)
  add_test(NAME find_package_consumer
    COMMAND ${CMAKE_COMMAND}
      "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
      "-DSCRATCH_DIR=${PROJECT_BINARY_DIR}/find-package-test"
      "-DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/find-package-test"
      "-DREADME=${PROJECT_SOURCE_DIR}/README.md"
      "-DGENERATOR=${CMAKE_GENERATOR}"
      "-DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}"
      "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}"
      "-DCXX_FLAGS=${CMAKE_CXX_FLAGS}"
      "-DEXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
      "-DBUILD_TYPE=${CMAKE_BUILD_TYPE}"
      "-DBINDIR=${CMAKE_INSTALL_BINDIR}"
      "-DMANDIR=${CMAKE_INSTALL_MANDIR}"
      "-DTOOLS=${KEVO_INSTALLED_TOOLS}"
      "-DVERSION=${PROJECT_VERSION}"
      -P ${PROJECT_SOURCE_DIR}/tests/find_package_test.cmake)
  set_tests_properties(find_package_consumer PROPERTIES TIMEOUT 300)

  # The installed completion, typed into an interactive bash in tmux.
  add_test(NAME bash_completion
    COMMAND bash ${PROJECT_SOURCE_DIR}/completion/completion_test.sh ${CMAKE_COMMAND}
            ${PROJECT_BINARY_DIR})
  set_tests_properties(bash_completion PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
