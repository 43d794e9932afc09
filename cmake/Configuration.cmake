# The values the code takes from the build: the version (from project()),
# the sonames of the engine libraries opened at run time, the model folder
# and where the helper is installed. They go into the generated header
# veskar_config.h (target veskar_config), and the package's dependencies are
# derived from the same variables (Packaging.cmake), so that the code and the
# package cannot name different libraries.
#
# Needs GNUInstallDirs and the pkg-config search for pocketsphinx first.

# The engine code is written against this ABI: its function table is the
# one of PocketSphinx 5prealpha (Debian's libpocketsphinx3 and libsphinxbase3).
set(VESKAR_SPHINXBASE_SONAME "libsphinxbase.so.3" CACHE STRING "Soname of SphinxBase, opened at run time")
set(VESKAR_POCKETSPHINX_SONAME "libpocketsphinx.so.3" CACHE STRING "Soname of PocketSphinx, opened at run time")
set(VESKAR_MODEL_DIRECTORY "/usr/share/pocketsphinx/model/en-us" CACHE PATH
  "The US-English speech model: acoustic model en-us/, en-us.lm.bin, cmudict-en-us.dict")
set(VESKAR_MODEL_PACKAGE "pocketsphinx-en-us" CACHE STRING "The Debian package that installs VESKAR_MODEL_DIRECTORY")

# The development libraries the headers came from must be the ones the
# sonames name: headers of another ABI would compile against the wrong
# function table.
foreach(library IN LISTS POCKETSPHINX_LINK_LIBRARIES)
  get_filename_component(name "${library}" NAME)
  if(name MATCHES "^lib(pocketsphinx|sphinxbase)\\.so$" AND CMAKE_OBJDUMP)
    string(TOUPPER "${CMAKE_MATCH_1}" which)
    execute_process(COMMAND "${CMAKE_OBJDUMP}" -p "${library}"
      OUTPUT_VARIABLE dynamic RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND dynamic MATCHES "SONAME +([^\n ]+)")
      if(NOT CMAKE_MATCH_1 STREQUAL VESKAR_${which}_SONAME)
        message(FATAL_ERROR "${library} has the soname ${CMAKE_MATCH_1}, "
          "but the engine code is written for ${VESKAR_${which}_SONAME} (VESKAR_${which}_SONAME)")
      endif()
    endif()
  endif()
endforeach()

# Debian names a library's package after its soname: libfoo.so.3 is in
# libfoo3, libfoo2.so.3 in libfoo2-3.
function(veskar_soname_package out soname)
  if(NOT soname MATCHES "^(.+)\\.so\\.([0-9]+)$")
    message(FATAL_ERROR "${soname} is not a versioned soname")
  endif()
  set(stem "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  if(stem MATCHES "[0-9]$")
    set(${out} "${stem}-${version}" PARENT_SCOPE)
  else()
    set(${out} "${stem}${version}" PARENT_SCOPE)
  endif()
endfunction()
veskar_soname_package(VESKAR_SPHINXBASE_PACKAGE "${VESKAR_SPHINXBASE_SONAME}")
veskar_soname_package(VESKAR_POCKETSPHINX_PACKAGE "${VESKAR_POCKETSPHINX_SONAME}")

# The helper is started by host programs, not by people: it lives in the
# libexec folder, in a folder of its own.
set(VESKAR_HELPER_INSTALL_DIR "${CMAKE_INSTALL_LIBEXECDIR}/veskar-speech-helper")
set(VESKAR_INSTALLED_HELPER "${CMAKE_INSTALL_PREFIX}/${VESKAR_HELPER_INSTALL_DIR}/veskar-speech-helper")
# From the bin folder, so that an installed tool finds the helper of its own
# installation even when the tree was moved (or is still in DESTDIR).
file(RELATIVE_PATH VESKAR_HELPER_FROM_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}" "${VESKAR_INSTALLED_HELPER}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/veskar_config.h.in ${CMAKE_BINARY_DIR}/generated/veskar_config.h @ONLY)
add_library(veskar_config INTERFACE)
target_include_directories(veskar_config INTERFACE ${CMAKE_BINARY_DIR}/generated)
