# The Linux gateway built against musl, statically, with no C++ library in it.
#
# The gateway is started once per request, so its start-up is most of its cost. musl's static
# start-up does far less than glibc's (docs/performance.md measures both). The gateway's code uses
# the C library alone (src/platform/c_library.h says how it compiles without libstdc++'s headers);
# here it is compiled with gcc's musl specs from Debian's musl-tools, without exceptions or RTTI,
# and linked by the C compiler's driver, which puts no C++ library on the link line. A check after
# the link fails the build if anything of the C++ library got in all the same.
#
# DOSTREL_MUSL: AUTO (musl where it is installed for the target's architecture), ON (musl or a
# configuration error) or OFF (the host's C library, as every other program here uses).
set(DOSTREL_MUSL AUTO CACHE STRING "Build the Linux gateway against musl: AUTO, ON or OFF")
set_property(CACHE DOSTREL_MUSL PROPERTY STRINGS AUTO ON OFF)

set(DOSTREL_MUSL_SPECS "")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND DOSTREL_STATIC AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
   AND NOT DOSTREL_MUSL STREQUAL "OFF")
  # The target's multiarch name with its C library's part changed: x86_64-linux-gnu gives
  # x86_64-linux-musl. A -m32 build asks for i386-linux-musl, which the host's musl is not.
  separate_arguments(target_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${target_flags} -print-multiarch
                  OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REGEX REPLACE "-gnu[a-z0-9]*$" "-musl" musl_multiarch "${multiarch}")
  if(multiarch AND EXISTS /usr/lib/${musl_multiarch}/musl-gcc.specs)
    set(DOSTREL_MUSL_SPECS /usr/lib/${musl_multiarch}/musl-gcc.specs)
  endif()
endif()
if(DOSTREL_MUSL STREQUAL "ON" AND NOT DOSTREL_MUSL_SPECS)
  message(FATAL_ERROR "DOSTREL_MUSL=ON: no musl for this target (Debian: apt-get install "
                      "musl-tools), or the gateway is not built static with gcc for Linux")
endif()

if(DOSTREL_MUSL_SPECS)
  enable_language(C)
  # CMake adds the C++ compiler's own libraries (libstdc++, libm) where the C driver links C++
  # objects; the gateway is the only such program here, and it must have neither.
  set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
  message(STATUS "The gateway is built against musl (${DOSTREL_MUSL_SPECS})")
endif()

# dostrel_link_gateway_on_musl(TARGET): TARGET's own sources and the gateway's code compiled
# against musl and linked with it into a static position-independent executable (static PIE). A
# static PIE starts as fast as a fixed-address static program here (docs/performance.md) and gets
# address-space layout randomisation. musl's specs file knows no -static-pie: the one generated
# from cmake/musl-static-pie.specs.in adds it (musl's self-relocating start file, rcrt1.o, and
# the linker's static PIE options) and is musl's own otherwise.
function(dostrel_link_gateway_on_musl target)
  get_filename_component(DOSTREL_MUSL_LIB ${DOSTREL_MUSL_SPECS} DIRECTORY)
  set(specs_file ${CMAKE_CURRENT_BINARY_DIR}/musl-static-pie.specs)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/musl-static-pie.specs.in ${specs_file} @ONLY)
  set(specs -specs=${specs_file})

  add_library(${target}_musl_code OBJECT ${DOSTREL_CORE_SOURCES} ${DOSTREL_SOCKET_SOURCES})
  target_include_directories(${target}_musl_code PUBLIC src)
  target_compile_options(${target}_musl_code PUBLIC ${specs} -fno-exceptions -fno-rtti)
  set_target_properties(${target}_musl_code PROPERTIES POSITION_INDEPENDENT_CODE ON)
  dostrel_warnings(${target}_musl_code)
  target_link_libraries(${target} PRIVATE ${target}_musl_code)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:dostrel_build_info>)

  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_link_options(${target} PRIVATE ${specs} -static-pie LINKER:-Map=${map})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DMAP=${map} -DNM=${CMAKE_NM}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckNoCxxLibrary.cmake
    VERBATIM)
endfunction()
