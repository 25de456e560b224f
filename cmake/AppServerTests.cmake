# Tests of the application-server library: one GoogleTest binary for the library itself (the
# shared vectors, limits, responses, serving in the caller), one for the built sample server run
# as a process with the gateway in front, and a C program built against the installed library.
find_package(nlohmann_json 3 REQUIRED)

add_executable(dostrel_appserver_tests
  tests/appserver/cpp_face_test.cc
  tests/appserver/decoder_limits_test.cc
  tests/appserver/own_loop_test.cc
  tests/appserver/response_test.cc
  tests/appserver/serve_test.cc
  tests/appserver/vector_files.cc
  tests/appserver/vectors_test.cc
  tests/support/link_encoding.cc
)
target_include_directories(dostrel_appserver_tests PRIVATE tests/support)
target_compile_definitions(dostrel_appserver_tests PRIVATE DOSTREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(dostrel_appserver_tests PRIVATE
  dostrel_appserver nlohmann_json::nlohmann_json GTest::gtest_main Threads::Threads)
dostrel_warnings(dostrel_appserver_tests)
gtest_discover_tests(dostrel_appserver_tests DISCOVERY_TIMEOUT 30)

dostrel_process_test_binary(dostrel_appserver_process_tests
  tests/appserver/cut_answers_test.cc
  tests/appserver/sample_server_test.cc
  tests/support/gateway_process.cc
  tests/support/link_encoding.cc
)
gtest_discover_tests(dostrel_appserver_process_tests DISCOVERY_TIMEOUT 30
  PROPERTIES TIMEOUT 120)

# The example of docs/appserver-c.md, built with plain cc against an installed copy found
# through pkg-config, answers a request through the gateway.
add_test(NAME appserver_installed_c_example
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh ${CMAKE_BINARY_DIR}
          ${CMAKE_SOURCE_DIR} "$<$<BOOL:${DOSTREL_SANITIZE}>:-fsanitize=address,undefined>")
set_tests_properties(appserver_installed_c_example PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
