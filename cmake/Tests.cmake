# Unit tests (one GoogleTest binary over the core and a scripted socket layer) and process tests
# (the built gateway run as a web server would run it).
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)

include(cmake/UnitTests.cmake)

# A test binary that runs the built programs as a web server would: it is told where they are.
function(dostrel_process_test_binary name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE tests/support src appserver/sample)
  target_compile_definitions(${name} PRIVATE
    DOSTREL_GATEWAY_PATH="$<TARGET_FILE:dostrel>"
    DOSTREL_APPSERVER_PATH="$<TARGET_FILE:dostrel-appserver>"
    DOSTREL_CHECK_PATH="$<TARGET_FILE:dostrel-check>"
    DOSTREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE
    dostrel_core dostrel_appserver GTest::gtest_main Threads::Threads)
  add_dependencies(${name} dostrel dostrel-appserver dostrel-check)
  dostrel_warnings(${name})
endfunction()

dostrel_process_test_binary(dostrel_process_tests
  tests/support/gateway_process.cc
  tests/support/link_encoding.cc
  tests/support/scripted_server.cc
  tests/process/check_test.cc
  tests/process/failure_path_test.cc
  tests/process/fault_test.cc
  tests/process/relay_test.cc
)
gtest_discover_tests(dostrel_process_tests DISCOVERY_TIMEOUT 30)

# The process tests once more with every program they start run under valgrind's memcheck.
# memcheck sees the heap of dynamically linked programs only: it runs a dynamic twin of the
# gateway.
find_program(VALGRIND valgrind)
if(VALGRIND)
  add_executable(dostrel_memcheck src/driver/main.cc)
  target_link_libraries(dostrel_memcheck PRIVATE dostrel_core dostrel_sockets)
  add_test(NAME process_tests_under_valgrind COMMAND dostrel_process_tests)
  set_tests_properties(process_tests_under_valgrind PROPERTIES TIMEOUT 900 COST 130 ENVIRONMENT
    "DOSTREL_TEST_GATEWAY=$<TARGET_FILE:dostrel_memcheck>;DOSTREL_TEST_WRAPPER=${VALGRIND} -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible")
endif()

# The gateway under real web servers; skipped where a server is not installed.
foreach(server lighttpd apache2 nginx)
  add_test(NAME web_${server}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/web/web_server_test.sh ${server}
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(web_${server} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endforeach()

# Every command block of README.md and docs/*.md runs here, names the test that runs it, or says
# why none can; the web-server snippets in docs/deploying.md are the configurations the tests run.
add_test(NAME docs_commands
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/docs/doc_commands_test.sh ${CMAKE_SOURCE_DIR}
          ${CMAKE_BINARY_DIR})
set_tests_properties(docs_commands PROPERTIES TIMEOUT 900)

# The README's first command and the guides' serve scripts on a minimal Debian 12 and a minimal
# Debian 13 made with debootstrap, with nothing installed beforehand (as root only): 1 to 2
# minutes each on 2 cores, a few more on the first run of a week, which makes the roots anew.
add_test(NAME fresh_root_scripts
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fresh_root/fresh_root_test.sh ${CMAKE_SOURCE_DIR})
add_test(NAME fresh_root_scripts_trixie
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fresh_root/fresh_root_test.sh ${CMAKE_SOURCE_DIR} trixie)
# Each works in a root and mount namespace of its own, so the other tests may run beside it; the
# two take turns, as their scripts serve on this machine's network (port 8080 where it is free).
# The costs (seconds, roughly) start the longest tests first, so that the short ones fill the gaps.
set_tests_properties(fresh_root_scripts fresh_root_scripts_trixie PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 1800 RESOURCE_LOCK fresh_root_network COST 180)
# Everything built with warnings as errors by Debian 13's GCC 14 and Clang (the fuzz targets too)
# in a minimal trixie root with the build dependencies (as root only).
add_test(NAME fresh_root_compilers
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fresh_root/compilers_test.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(fresh_root_compilers PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1800 COST 220)

# The README's main job, with this build.
add_test(NAME demo_serves_one_request COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh)
set_tests_properties(demo_serves_one_request PROPERTIES
  ENVIRONMENT "DOSTREL_DEMO_ONCE=1;DOSTREL_BUILD=${CMAKE_BINARY_DIR}"
  PASS_REGULAR_EXPRESSION "<tr><td>PATH_INFO</td><td>/hello</td></tr>"
  TIMEOUT 120)

# The Debian packages: built, checked with lintian, installed, used, upgraded and purged (as
# root only). It changes the machine's packages and Apache for a while: nothing runs beside it.
add_test(NAME package_install_use_remove
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(package_install_use_remove PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200
  RUN_SERIAL TRUE)
# The same in a minimal Debian 13 root (its own Apache, network namespace and dpkg database):
# several minutes more, and the root's making on the first run of a week.
add_test(NAME package_install_use_remove_trixie
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_SOURCE_DIR} trixie)
set_tests_properties(package_install_use_remove_trixie PROPERTIES SKIP_RETURN_CODE 77
  TIMEOUT 2400 COST 160)

# Load through lighttpd; DOSTREL_LOAD_REQUESTS=5000 in the environment makes it the full run.
add_test(NAME web_load COMMAND bash ${CMAKE_SOURCE_DIR}/tests/web/load_test.sh
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} 500 32)
set_tests_properties(web_load PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200)

# The benchmark, briefly: it runs and every contender's output is right (no speed is judged).
add_test(NAME bench_smoke COMMAND bash ${CMAKE_SOURCE_DIR}/bench/run.sh --smoke)
set_tests_properties(bench_smoke PROPERTIES ENVIRONMENT "DOSTREL_BUILD=${CMAKE_BINARY_DIR}"
  PASS_REGULAR_EXPRESSION "outputs checked: 12" TIMEOUT 300)

# The shared test vectors of the link protocol are the bytes this gateway sends.
add_test(NAME vectors_recorded_from_gateway
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/vectors/generate.py --check $<TARGET_FILE:dostrel>)

# The application-server library: its unit tests, the sample server as a process, and a C
# program built against the installed library.
include(cmake/AppServerTests.cmake)
include(cmake/ApplicationTests.cmake)
