# Warnings on for every target of the tree; optional sanitizers.
add_compile_options(-Wall -Wextra)
if(VELKA_WERROR)
  add_compile_options(-Werror)
endif()
if(VELKA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
