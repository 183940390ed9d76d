# Warnings and sanitizers shared by every target of the project.
function(brisko_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

if(BRISKO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(BRISKO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT BRISKO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "BRISKO_SANITIZE must be empty, 'address' or 'thread'")
endif()
