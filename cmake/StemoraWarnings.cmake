# Warnings as errors for every Stemora target (not for the parent project's).
function(stemora_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
