# Warnings for every Stemora target (not for the parent project's). As errors only when asked:
# the presets and CI ask, so that our compiler's warnings stop a change, while a newer compiler
# on a user's machine, with warnings of its own, still builds the release.
option(STEMORA_WERROR "Treat compiler warnings as errors in Stemora's own targets" OFF)

function(stemora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(STEMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
