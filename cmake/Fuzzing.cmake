# VESKAR_BUILD_FUZZ: the libFuzzer targets of tests/fuzz (the fuzz preset).
# Everything under test gets libFuzzer's coverage instrumentation; the fuzzer
# runtime and its main() are linked into the targets only (tests/fuzz).

option(VESKAR_BUILD_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(VESKAR_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VESKAR_BUILD_FUZZ needs clang (libFuzzer): use the fuzz preset (cmake --preset fuzz)")
  endif()
  # Without address and undefined behaviour checks a fuzzer finds only the
  # crashes that crash anyway.
  if(NOT VESKAR_SANITIZE MATCHES "address")
    message(WARNING "Fuzzing without VESKAR_SANITIZE=address,undefined: adding them for the fuzz build")
    target_compile_options(veskar_warnings INTERFACE
      -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(veskar_warnings INTERFACE -fsanitize=address,undefined)
  endif()
  target_compile_options(veskar_warnings INTERFACE -fsanitize=fuzzer-no-link -g)
endif()
