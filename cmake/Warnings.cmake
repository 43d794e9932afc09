# veskar_warnings: the interface library every target links. It carries the
# warning flags here, and the sanitizer, fuzzing and hardening flags that
# Sanitizers.cmake, Fuzzing.cmake and Hardening.cmake add to it.

option(VESKAR_WERROR "Treat compiler warnings as errors" OFF)

add_library(veskar_warnings INTERFACE)
target_compile_options(veskar_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(VESKAR_WERROR)
  target_compile_options(veskar_warnings INTERFACE -Werror)
endif()
