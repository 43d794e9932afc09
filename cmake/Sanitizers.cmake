# VESKAR_SANITIZE: the sanitizers every target is built with, as the compiler
# spells them after -fsanitize= (the asan and tsan presets set it). A failed
# check stops the program instead of printing and going on.

set(VESKAR_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread (or empty)")

if(VESKAR_SANITIZE)
  string(REPLACE "," ";" sanitizers "${VESKAR_SANITIZE}")
  foreach(sanitizer IN LISTS sanitizers)
    if(NOT sanitizer MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "VESKAR_SANITIZE: unknown sanitizer \"${sanitizer}\" (address, undefined, thread, leak)")
    endif()
  endforeach()
  if("thread" IN_LIST sanitizers AND ("address" IN_LIST sanitizers OR "leak" IN_LIST sanitizers))
    message(FATAL_ERROR "VESKAR_SANITIZE: thread cannot be combined with address or leak")
  endif()
  target_compile_options(veskar_warnings INTERFACE
    -fsanitize=${VESKAR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(veskar_warnings INTERFACE -fsanitize=${VESKAR_SANITIZE})
endif()
