# VESKAR_HARDENING: the flags Debian builds its packages with (dpkg-buildflags
# with hardening=+all, less what GCC already does by default here, such as
# PIE): checked buffer functions, stack protection, and a read-only
# relocation table bound at start-up. The release and package presets set it.

option(VESKAR_HARDENING "Build with Debian's hardening flags" OFF)

if(VESKAR_HARDENING)
  if(VESKAR_SANITIZE)
    message(FATAL_ERROR "VESKAR_HARDENING and VESKAR_SANITIZE exclude each other")
  endif()
  # _FORTIFY_SOURCE checks only optimised code; glibc warns without -O.
  target_compile_options(veskar_warnings INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>
    -fstack-protector-strong -fstack-clash-protection -fcf-protection
    -Wformat -Werror=format-security)
  target_link_options(veskar_warnings INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()
