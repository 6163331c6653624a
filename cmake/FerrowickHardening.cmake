# The hardening every Ferrowick binary, module and test is built with: at least what Debian's
# dpkg-buildflags gives with hardening=+all. scripts/hardening-check.sh verifies the installed
# files.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)

add_compile_options(
  -fstack-protector-strong
  -fstack-clash-protection
  -fcf-protection
  -Wformat
  -Werror=format-security)
# Fortified libc calls (level 3: sizes known only at run time too) need an optimised build,
# and they confuse the sanitizers' own checks.
if(NOT FERROWICK_SANITIZE)
  add_compile_options(
    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>"
    "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=3>")
endif()
add_link_options(
  -Wl,-z,relro
  -Wl,-z,now
  -Wl,-z,noexecstack
  -Wl,--as-needed)

# ferrowick_static_runtime(TARGET): links libstdc++ and libgcc into an executable. A run then
# skips loading and relocating the shared C++ runtime, most of a short run's start-up; the
# cost is that a fix in GCC's runtime reaches the program only when it is rebuilt. The
# sanitizers bring their own runtime and want the shared one.
function(ferrowick_static_runtime target)
  if(NOT FERROWICK_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
