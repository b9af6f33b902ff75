# How every test of the host tree is registered (tests/, tests/bench/, tests/fuzz/).
#
# Tests that need the Windows image are skipped, with the reason, when it has
# not been built (./check builds it first), so the host preset alone passes on
# a fresh clone. Those that read it with Windows tools, or run it under Wine,
# carry the label `windows`, which the sanitizer and coverage test presets
# leave out; the image on the emulated CPU runs in every tree.

set(B64FILTER_WIN32_IMAGE ${PROJECT_SOURCE_DIR}/build/win32/b64filter.exe
    CACHE FILEPATH "The Windows image that the image, Wine and release tests check")
set(B64UNFILTER_WIN32_IMAGE ${PROJECT_SOURCE_DIR}/build/win32/b64unfilter.exe
    CACHE FILEPATH "The decoder's Windows image, beside B64FILTER_WIN32_IMAGE")
# The x64 images (the win64 preset), which the tests registered with X64 check.
set(B64FILTER_WIN64_IMAGE ${PROJECT_SOURCE_DIR}/build/win64/b64filter.exe
    CACHE FILEPATH "The x64 Windows image of the filter")
set(B64UNFILTER_WIN64_IMAGE ${PROJECT_SOURCE_DIR}/build/win64/b64unfilter.exe
    CACHE FILEPATH "The x64 Windows image of the decoder, beside B64FILTER_WIN64_IMAGE")

# b64_add_test(NAME COMMAND args... [ENVIRONMENT var=value...] [LABELS label...]
#              [TIMEOUT seconds] [PROCESSORS n] [COST seconds] [IMAGE] [WINDOWS]
#              [WINE win32|win64...] [X64 | X86_AND_X64] [QUICK] [ONCE])
#   IMAGE       runs the image on the emulated CPU (B64FILTER_WIN32_IMAGE and
#               B64UNFILTER_WIN32_IMAGE in its environment), in every tree, the
#               sanitizer tree included
#   WINDOWS     reads the image with Windows tools (pefile, DOSBox): label `windows`
#   WINE arch   runs it under Wine in those architectures' prefixes (implies WINDOWS)
#   X64         with WINDOWS or WINE win64: the x64 images instead (B64FILTER_WIN64_IMAGE
#               and B64UNFILTER_WIN64_IMAGE, and B64_WINDOWS_ARCH=x64, in its
#               environment; skipped unless they are built)
#   X86_AND_X64 with WINDOWS or WINE: the x86 images and the x64 ones, all four
#               named and needed
#   QUICK       part of ./check --quick (label `quick`): seconds, run after each edit
#   ONCE        checks what no compiler or flag of the tree changes (a script, a
#               document, the image): label `once`, run by the host tree alone
#   PROCESSORS  the cores it keeps busy, so that ctest runs nothing beside it there
#   COST        about how long it takes: ctest starts the dearest first, so that
#               on a fresh tree (no times recorded yet) none is left running alone
#               at the end
function(b64_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "IMAGE;WINDOWS;X64;X86_AND_X64;QUICK;ONCE" "TIMEOUT;PROCESSORS;COST"
                        "COMMAND;ENVIRONMENT;LABELS;WINE")
  set(command ${arg_COMMAND})
  set(labels ${arg_LABELS})
  set(environment ${arg_ENVIRONMENT})
  if((arg_X64 OR arg_X86_AND_X64) AND (arg_IMAGE OR NOT (arg_WINDOWS OR arg_WINE)))
    message(FATAL_ERROR "${name}: the x64 images go with WINDOWS or WINE (the emulated CPU is an i386)")
  endif()
  if(arg_X64 AND (arg_X86_AND_X64 OR (arg_WINE AND NOT arg_WINE STREQUAL "win64")))
    message(FATAL_ERROR "${name}: X64 runs under Wine in the win64 prefix alone")
  endif()
  set(x86_needs --image)
  set(x86_images B64FILTER_WIN32_IMAGE=${B64FILTER_WIN32_IMAGE} B64UNFILTER_WIN32_IMAGE=${B64UNFILTER_WIN32_IMAGE})
  set(x64_needs --image=B64FILTER_WIN64_IMAGE --image=B64UNFILTER_WIN64_IMAGE)
  set(x64_images B64FILTER_WIN64_IMAGE=${B64FILTER_WIN64_IMAGE} B64UNFILTER_WIN64_IMAGE=${B64UNFILTER_WIN64_IMAGE})
  if(arg_X64)
    set(needs ${x64_needs})
    set(images ${x64_images} B64_WINDOWS_ARCH=x64)
  elseif(arg_X86_AND_X64)
    set(needs ${x86_needs} ${x64_needs})
    set(images ${x86_images} ${x64_images})
  else()
    set(needs ${x86_needs})
    set(images ${x86_images})
  endif()
  if(arg_IMAGE OR arg_WINDOWS OR arg_WINE)
    if(arg_WINE)
      list(APPEND needs --wine)
    endif()
    set(command ${B64_PYTHON} ${PROJECT_SOURCE_DIR}/tests/skip-unless ${needs} -- ${command})
    list(APPEND environment ${images})
  endif()
  if(arg_WINDOWS OR arg_WINE)
    list(APPEND labels windows)
  endif()
  if(arg_QUICK)
    list(APPEND labels quick)
  endif()
  if(arg_ONCE)
    list(APPEND labels once)
  endif()
  add_test(NAME ${name} COMMAND ${command})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  if(arg_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  endif()
  if(arg_PROCESSORS)
    set_tests_properties(${name} PROPERTIES PROCESSORS ${arg_PROCESSORS})
  endif()
  if(arg_COST)
    set_tests_properties(${name} PROPERTIES COST ${arg_COST})
  endif()
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
  if(environment)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}")
  endif()
  if(arg_WINE)
    list(TRANSFORM arg_WINE PREPEND wine_)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${arg_WINE}")
  endif()
endfunction()

# The fixtures: tools/wine-run makes each architecture's prefix when it is
# missing or stale (and is what every test then runs the image with). A
# cross tree runs nothing under Wine.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
foreach(arch win32 win64)
  set(option)
  if(arch STREQUAL "win64")
    set(option --win64)
  endif()
  add_test(NAME wine_prefix_${arch}
    COMMAND ${B64_PYTHON} ${PROJECT_SOURCE_DIR}/tests/skip-unless --wine --
            ${PROJECT_SOURCE_DIR}/tools/wine-run ${option} --prepare)
  set_tests_properties(wine_prefix_${arch} PROPERTIES
    FIXTURES_SETUP wine_${arch} LABELS windows SKIP_RETURN_CODE 77 TIMEOUT 600)
endforeach()
# A 64-bit Wine alone makes the 64-bit prefix, and runs the x64 images there.
set_tests_properties(wine_prefix_win64 PROPERTIES ENVIRONMENT B64_WINDOWS_ARCH=x64)
