# What each Windows program carries besides its code: a version resource and an application
# manifest, from one template (program.rc.in) and one manifest (program.manifest); and, with
# MinGW, the program as it ships is stripped of its symbols, which stay beside it.
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
#
# With MinGW the linker writes TARGET.unstripped.exe, and TARGET.exe, the one that ships, is that
# without its symbol table and debug sections (half the size: the static C++ runtime brings its
# own), with a .gnu_debuglink naming TARGET.debug beside it, which keeps them for a debugger and
# for tests/audit/pe_audit.py, which reads the callbacks' decorations from the symbols.
function(melvix_windows_program target description)
  if(NOT WIN32)
    return()
  endif()
  set(MELVIX_PROGRAM ${target})
  set(MELVIX_DESCRIPTION ${description})
  set(MELVIX_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/program.manifest)
  set(MELVIX_ICON ${PROJECT_SOURCE_DIR}/installer/melvix.ico)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres does not tell CMake that the resource reads the manifest and the icon.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${MELVIX_MANIFEST};${MELVIX_ICON}")

  if(MINGW)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${target}.unstripped)
    set(dir ${CMAKE_CURRENT_BINARY_DIR})
    # objcopy writes the time of its run into the PE header, or SOURCE_DATE_EPOCH: 0, as the
    # linker does (CMakeLists.txt), so that the files stay reproducible.
    set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
    add_custom_command(
      OUTPUT ${dir}/${target}.exe ${dir}/${target}.debug
      COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> ${target}.debug
      # The link names the file only, so a debugger looks for it beside the program.
      COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${target}.debug $<TARGET_FILE:${target}>
              ${target}.exe
      DEPENDS ${target}
      WORKING_DIRECTORY ${dir}
      COMMENT "Stripping ${target}.exe, its symbols into ${target}.debug"
      VERBATIM)
    add_custom_target(${target}_shipped ALL DEPENDS ${dir}/${target}.exe ${dir}/${target}.debug)
  endif()
endfunction()
