# STEMORA_SANITIZER selects one sanitizer build for the whole tree.
if(STEMORA_SANITIZER STREQUAL "address")
  # Halt on the first UBSan report so that ctest sees the failure.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(STEMORA_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT STEMORA_SANITIZER STREQUAL "")
  message(FATAL_ERROR "STEMORA_SANITIZER must be empty, 'address' or 'thread'")
endif()
