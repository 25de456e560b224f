# Compiler warnings for every target of the project; DOSTREL_WERROR makes them fatal (CI).
option(DOSTREL_WERROR "Treat compiler warnings as errors" OFF)

function(dostrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(DOSTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
