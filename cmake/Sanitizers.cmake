# DOSTREL_SANITIZE=ON: every target built with AddressSanitizer and UndefinedBehaviorSanitizer,
# any report fatal.
option(DOSTREL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(DOSTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
