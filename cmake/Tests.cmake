# Unit tests (one GoogleTest binary over the core and a scripted socket layer) and process tests
# (the built gateway run as a web server would run it).
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(dostrel_unit_tests
  tests/support/fake_sockets.cc
  tests/support/unit_support.cc
  tests/unit/config_test.cc
  tests/unit/driver_test.cc
  tests/unit/error_page_test.cc
  tests/unit/send_buffer_test.cc
  tests/unit/trace_test.cc
  tests/unit/transaction_test.cc
)
target_include_directories(dostrel_unit_tests PRIVATE tests/support)
target_link_libraries(dostrel_unit_tests PRIVATE dostrel_core GTest::gtest_main Threads::Threads)
dostrel_warnings(dostrel_unit_tests)
gtest_discover_tests(dostrel_unit_tests DISCOVERY_TIMEOUT 30)

add_executable(dostrel_process_tests
  tests/support/gateway_process.cc
  tests/support/scripted_server.cc
  tests/process/failure_path_test.cc
  tests/process/relay_test.cc
)
target_include_directories(dostrel_process_tests PRIVATE tests/support src tools/appserver)
target_compile_definitions(dostrel_process_tests PRIVATE
  DOSTREL_GATEWAY_PATH="$<TARGET_FILE:dostrel>"
  DOSTREL_APPSERVER_PATH="$<TARGET_FILE:dostrel-appserver>")
target_link_libraries(dostrel_process_tests PRIVATE
  dostrel_core dostrel_link_request GTest::gtest_main Threads::Threads)
add_dependencies(dostrel_process_tests dostrel dostrel-appserver)
dostrel_warnings(dostrel_process_tests)
gtest_discover_tests(dostrel_process_tests DISCOVERY_TIMEOUT 30)
