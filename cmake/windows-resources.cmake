# Windows resources of the programs: the application manifest (DPI awareness, UTF-8 as
# the code page of narrow calls, the Windows versions it is made for), the icon drawn by
# app/win32/draw_icon.py and the version information, from the project's version.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(SONDREL_ICON ${CMAKE_BINARY_DIR}/resources/sondrel.ico)
add_custom_command(OUTPUT ${SONDREL_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/app/win32/draw_icon.py ${SONDREL_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/app/win32/draw_icon.py
  COMMENT "Drawing the icon")
add_custom_target(sondrel_icon DEPENDS ${SONDREL_ICON})

function(sondrel_windows_resources target description)
  set(SONDREL_RC_NAME ${target})
  set(SONDREL_RC_DESCRIPTION ${description})
  set(version_parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} 0)
  list(JOIN version_parts "," SONDREL_RC_VERSION_COMMAS)
  list(JOIN version_parts "." SONDREL_RC_VERSION_DOTS)
  set(dir ${CMAKE_BINARY_DIR}/resources)
  set(SONDREL_RC_MANIFEST ${dir}/${target}.manifest)
  set(SONDREL_RC_ICON ${SONDREL_ICON})
  configure_file(${PROJECT_SOURCE_DIR}/app/win32/sondrel.manifest.in ${SONDREL_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/app/win32/sondrel.rc.in ${dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  # windres reads the manifest and the icon; neither is a source CMake scans.
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS "${SONDREL_RC_MANIFEST};${SONDREL_ICON}")
  add_dependencies(${target} sondrel_icon)
endfunction()
