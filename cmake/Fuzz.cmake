# DOSTREL_FUZZ=ON (with clang): libFuzzer targets for the configuration reader, the number
# conversion, the request encoder and the application-server library's decoder, everything
# built with AddressSanitizer and UBSan.
option(DOSTREL_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(DOSTREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=address,undefined)
  foreach(target fuzz_config fuzz_content_length fuzz_request_roundtrip fuzz_link_decoder)
    add_executable(${target} tests/fuzz/${target}.cc tests/support/fake_sockets.cc
                   tests/support/portable.cc)
    target_include_directories(${target} PRIVATE tests/support)
    target_link_libraries(${target} PRIVATE dostrel_core dostrel_appserver)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
