# The unit tests: one GoogleTest binary over the core and a scripted socket layer.
add_executable(dostrel_unit_tests
  tests/support/fake_sockets.cc
  tests/support/portable.cc
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
if(WIN32)
  # Run whole, through the emulator (Wine): one ctest entry for the binary.
  add_test(NAME windows_unit_tests COMMAND dostrel_unit_tests)
  set_tests_properties(windows_unit_tests PROPERTIES TIMEOUT 600)
else()
  gtest_discover_tests(dostrel_unit_tests DISCOVERY_TIMEOUT 60)
endif()
