# Install rules (GNUInstallDirs). The package preset installs under /usr:
#   libexec/veskar-speech-helper/veskar-speech-helper   started by hosts
#   bin/veskar-transcribe                              the tool, for people
#   share/man/man1/*.1.gz                              both man pages
#   share/doc/veskar-speech-helper/                    README, copyright, changelog
#   share/lintian/overrides/veskar-speech-helper       lintian's explained exceptions
# Components: "helper" (the helper, its man page, the documents) and "tool".

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(VESKAR_PACKAGE_MAINTAINER "veskar-speech-helper developers <speech-helper@veskar.invalid>"
  CACHE STRING "The package's maintainer, as the Maintainer field and the changelog name them")

install(TARGETS veskar-speech-helper RUNTIME DESTINATION ${VESKAR_HELPER_INSTALL_DIR} COMPONENT helper)
if(VESKAR_BUILD_TOOLS)
  install(TARGETS veskar-transcribe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()

# A stripped install (cmake --install --strip, and the package) also drops
# the compiler's identification and the .note section, as dh_strip does.
function(veskar_strip_more file component)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
endfunction()
veskar_strip_more("${VESKAR_HELPER_INSTALL_DIR}/veskar-speech-helper" helper)
if(VESKAR_BUILD_TOOLS)
  veskar_strip_more("${CMAKE_INSTALL_BINDIR}/veskar-transcribe" tool)
endif()

# Man pages: filled in with the version and the paths, then compressed the
# way Debian wants them (gzip -9, no name or time stamp inside).
set(man_pages veskar-speech-helper)
if(VESKAR_BUILD_TOOLS)
  list(APPEND man_pages veskar-transcribe)
endif()
set(compressed_pages)
foreach(page IN LISTS man_pages)
  set(source ${CMAKE_BINARY_DIR}/man/source/${page}.1)
  set(copy ${CMAKE_BINARY_DIR}/man/${page}.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${source} @ONLY)
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${page}(1)"
    VERBATIM)
  list(APPEND compressed_pages ${copy}.gz)
endforeach()
add_custom_target(veskar_man_pages ALL DEPENDS ${compressed_pages})
install(FILES ${CMAKE_BINARY_DIR}/man/veskar-speech-helper.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT helper)
if(VESKAR_BUILD_TOOLS)
  install(FILES ${CMAKE_BINARY_DIR}/man/veskar-transcribe.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
endif()

# A native Debian package's change log, dated now (or SOURCE_DATE_EPOCH).
string(TIMESTAMP VESKAR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(veskar_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME veskar-speech-helper COMPONENT helper)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${CMAKE_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT helper)
