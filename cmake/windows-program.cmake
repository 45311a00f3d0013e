# What each Windows program carries besides its code: a version resource and an application
# manifest, from one template (program.rc.in) and one manifest (program.manifest).
#
# The version is the one melvixhost answers ["version"] with, kHostVersion in
# host/command_handlers.h: read from there, so that Explorer's Details tab, the installer and the
# host's reply cannot disagree.
file(STRINGS ${PROJECT_SOURCE_DIR}/host/command_handlers.h melvix_version_line
     REGEX "kHostVersion = ")
if(NOT melvix_version_line MATCHES "kHostVersion = \"([0-9]+(\\.[0-9]+)*)\"")
  message(FATAL_ERROR "host/command_handlers.h: kHostVersion is not up to four numbers with dots: "
                      "${melvix_version_line}")
endif()
set(MELVIX_VERSION ${CMAKE_MATCH_1})
string(REPLACE "." ";" melvix_version_parts ${MELVIX_VERSION})
list(LENGTH melvix_version_parts melvix_version_count)
if(melvix_version_count GREATER 4)
  message(FATAL_ERROR "kHostVersion ${MELVIX_VERSION} has more than the four numbers Windows keeps")
endif()
foreach(part IN LISTS melvix_version_parts)
  if(part GREATER 65535)
    message(FATAL_ERROR "kHostVersion ${MELVIX_VERSION}: Windows keeps at most 65535 in each part")
  endif()
endforeach()
# Windows' binary form has four numbers: 1.5 is 1,5,0,0.
while(melvix_version_count LESS 4)
  list(APPEND melvix_version_parts 0)
  math(EXPR melvix_version_count "${melvix_version_count} + 1")
endwhile()
list(JOIN melvix_version_parts "," MELVIX_VERSION_COMMAS)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/host/command_handlers.h)

# melvix_windows_program(TARGET DESCRIPTION): gives the program TARGET its version resource, with
# DESCRIPTION as the file description (Task Manager shows it as the process's name), and the
# manifest. Does nothing when not building for Windows.
function(melvix_windows_program target description)
  if(NOT WIN32)
    return()
  endif()
  set(MELVIX_PROGRAM ${target})
  set(MELVIX_DESCRIPTION ${description})
  set(MELVIX_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/program.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres does not tell CMake that the resource reads the manifest.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${MELVIX_MANIFEST})
endfunction()
