# Hardening of the host build, as a Debian package gets it from
# dpkg-buildflags (with hardening=+all): format checks, _FORTIFY_SOURCE=2,
# the strong stack protector, stack clash protection, control-flow
# protection, full RELRO and a position-independent executable. It applies to
# every target of the host tree (the program, its tests, fuzzers and
# benchmarks). The Windows image is built elsewhere, with none of it.
#
# The environment is honoured: CXXFLAGS and LDFLAGS seed CMAKE_CXX_FLAGS and
# CMAKE_EXE_LINKER_FLAGS on the first configure (CMake's own rule), and
# CPPFLAGS, which CMake ignores, seeds B64_CPPFLAGS here. A protection those
# flags already choose (say -fno-stack-protector or -D_FORTIFY_SOURCE=3) is
# left to them rather than added a second time after them, where it would win.

option(B64_HARDENING "Build the host tree with the hardening flags a Debian package gets" ON)
# Whether the program gets all of it (tests/release then runs hardening-check).
set(B64_FULLY_HARDENED OFF)
set(B64_CPPFLAGS "$ENV{CPPFLAGS}" CACHE STRING "Preprocessor flags (from CPPFLAGS on the first configure)")

include(CheckCXXCompilerFlag)

if(B64_HARDENING)
  set(chosen_compile "${CMAKE_CXX_FLAGS} ${B64_CPPFLAGS}")
  set(chosen_link "${CMAKE_EXE_LINKER_FLAGS}")

  # Adds FLAG unless the environment's flags already match PATTERN; flags the
  # compiler cannot take (-fcf-protection is x86 only) are left out.
  function(b64_harden pattern flag)
    if(chosen_compile MATCHES "${pattern}")
      return()
    endif()
    string(MAKE_C_IDENTIFIER "B64_HAS${flag}" known)
    check_cxx_compiler_flag("${flag}" ${known})
    if(${known})
      add_compile_options("${flag}")
    endif()
  endfunction()

  add_compile_options(-Wformat -Werror=format-security)
  b64_harden("stack-protector" -fstack-protector-strong)
  b64_harden("stack-clash-protection" -fstack-clash-protection)
  b64_harden("cf-protection" -fcf-protection)

  # _FORTIFY_SOURCE is left out under the sanitizers: ASan and UBSan
  # intercept the plain libc calls, and the fortified __*_chk variants would
  # be checked twice or, for some, not through the sanitizer's shadow memory
  # at all. glibc also needs optimisation for it (at -O0 it only warns), so
  # it goes with the optimised configurations. The -U first: some compilers
  # predefine a level of their own.
  if(chosen_compile MATCHES "_FORTIFY_SOURCE")
    set(B64_FULLY_HARDENED ON)
  elseif(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    add_compile_options("$<${optimised}:-U_FORTIFY_SOURCE>" "$<${optimised}:-D_FORTIFY_SOURCE=2>")
    if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
      set(B64_FULLY_HARDENED ON)
    endif()
  endif()

  # Full RELRO: relocations read-only after start-up, every symbol bound then.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    if(NOT chosen_link MATCHES "relro")
      add_link_options(-Wl,-z,relro)
    endif()
    if(NOT chosen_link MATCHES "z,now")
      add_link_options(-Wl,-z,now)
    endif()
  endif()

  # A position-independent executable. Said outright rather than through
  # POSITION_INDEPENDENT_CODE, which compiles the object libraries with -fPIC:
  # code for a shared library, that reaches even its own functions and data
  # through the GOT. Every object here goes into an executable.
  if(NOT chosen_compile MATCHES "-f(no-)?(PIE|pie|PIC|pic)")
    add_compile_options(-fPIE)
  endif()
  if(NOT chosen_link MATCHES "pie")
    add_link_options(-pie)
  endif()
endif()

if(B64_CPPFLAGS)
  separate_arguments(cppflags UNIX_COMMAND "${B64_CPPFLAGS}")
  add_compile_options(${cppflags})
endif()
