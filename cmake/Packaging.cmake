# The Debian package (CPack DEB): `cpack --preset package`, or scripts/package.
#
# One package holds the helper and veskar-transcribe: the tool adds only
# libsndfile and its codecs to what the helper needs (see the README).
# Its Depends field joins two lists:
# - what dpkg-shlibdeps finds for the linked libraries (ICU, libsoxr,
#   simdjson, libsndfile, the C++ runtime, ...);
# - what no scan can see: the engine libraries opened with dlopen and the
#   model, which is data. Their names come from the same variables as the
#   sonames and the model folder in veskar_config.h (Configuration.cmake).

set(CPACK_PACKAGE_NAME veskar-speech-helper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VESKAR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-device speech transcription helper for host programs")
set(CPACK_PACKAGE_DESCRIPTION "\
A host application, such as a meeting-notes program, starts the helper as a
child process, names a locale and up to two audio sources (the user's
microphone and the meeting audio), streams 16 kHz mono PCM to it as JSON
lines on standard input, and reads live transcripts back as JSON lines on
standard output: utterances created, revised and finalised, with status and
error events. Recognition runs on the device with CMU PocketSphinx and its
US-English model.

The package also holds veskar-transcribe, which streams an audio file to
the helper and shows the transcript as it forms.")
set(CPACK_GENERATOR DEB)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/build/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "${VESKAR_POCKETSPHINX_PACKAGE}, ${VESKAR_SPHINXBASE_PACKAGE}, ${VESKAR_MODEL_PACKAGE}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
