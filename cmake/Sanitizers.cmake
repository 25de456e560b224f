# DOSTREL_SANITIZE=ON (or address): every target built with AddressSanitizer and
# UndefinedBehaviorSanitizer; DOSTREL_SANITIZE=thread: with ThreadSanitizer, for the threaded
# tests of the application-server library. Any report is fatal.
set(DOSTREL_SANITIZE OFF CACHE STRING "Build with sanitizers: OFF, ON (address and undefined) or thread")
if(DOSTREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(DOSTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
