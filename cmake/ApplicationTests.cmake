# The application side beyond the C/C++ library: the Python and Node packages with their own
# test runners, a pool of servers behind HAProxy, and the short runs of their benchmarks. Each
# drives real requests through this build's gateway under lighttpd.
add_test(NAME python_package COMMAND bash ${CMAKE_SOURCE_DIR}/python/run_tests.sh ${CMAKE_BINARY_DIR})
set_tests_properties(python_package PROPERTIES TIMEOUT 600)

add_test(NAME node_package COMMAND bash ${CMAKE_SOURCE_DIR}/node/run_tests.sh ${CMAKE_BINARY_DIR})
# Both run npm ci in node/: never at the same time.
set_tests_properties(node_package PROPERTIES TIMEOUT 600 RESOURCE_LOCK node_modules)

add_test(NAME web_pool COMMAND bash ${CMAKE_SOURCE_DIR}/tests/web/pool_test.sh
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(web_pool PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)

foreach(bench python node pool)
  add_test(NAME bench_${bench}_smoke COMMAND bash ${CMAKE_SOURCE_DIR}/bench/${bench}.sh --smoke)
  set_tests_properties(bench_${bench}_smoke PROPERTIES ENVIRONMENT "DOSTREL_BUILD=${CMAKE_BINARY_DIR}"
    PASS_REGULAR_EXPRESSION "(outputs|answers) checked: [1-9]" TIMEOUT 300)
endforeach()
set_tests_properties(bench_node_smoke PROPERTIES RESOURCE_LOCK node_modules)

# The Ruby gem: Sinatra and Rails through the gateway, signals, refusals; and its benchmark's
# short run.
add_test(NAME ruby_package COMMAND bash ${CMAKE_SOURCE_DIR}/ruby/run_tests.sh ${CMAKE_BINARY_DIR})
set_tests_properties(ruby_package PROPERTIES TIMEOUT 600)
# The same tests on Rack 3, in a minimal Debian 13 root (made by debootstrap once a week).
add_test(NAME ruby_package_rack3 COMMAND bash ${CMAKE_SOURCE_DIR}/ruby/run_rack3_tests.sh
  ${CMAKE_BINARY_DIR})
set_tests_properties(ruby_package_rack3 PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1800)
add_test(NAME ruby_bench_smoke COMMAND bash ${CMAKE_SOURCE_DIR}/bench/ruby.sh --smoke)
set_tests_properties(ruby_bench_smoke PROPERTIES ENVIRONMENT "DOSTREL_BUILD=${CMAKE_BINARY_DIR}"
  PASS_REGULAR_EXPRESSION "answers checked: [1-9]" TIMEOUT 300)

# The Go package: go vet, go test -race with Debian's Go offline, and chi, gorilla/mux and gin
# applications through the gateway under lighttpd; the short run of its benchmark.
add_test(NAME go_package COMMAND bash ${CMAKE_SOURCE_DIR}/go/run_tests.sh ${CMAKE_BINARY_DIR})
set_tests_properties(go_package PROPERTIES TIMEOUT 600)
add_test(NAME go_bench_smoke COMMAND bash ${CMAKE_SOURCE_DIR}/bench/go.sh --smoke)
set_tests_properties(go_bench_smoke PROPERTIES ENVIRONMENT "DOSTREL_BUILD=${CMAKE_BINARY_DIR}"
  PASS_REGULAR_EXPRESSION "answers checked: [1-9]" TIMEOUT 300)

# What an HTTP client sees of an answer cut short, through each web server: the measured table
# must be the one in docs/protocol.md.
add_test(NAME web_client_view COMMAND bash ${CMAKE_SOURCE_DIR}/tests/web/client_view_test.sh
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(web_client_view PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)

# The application's URL, the same on every application server: what WSGI, Rack, Node, Go and
# the C library hand the application of a percent-encoded UTF-8 path, with the gateway at the
# site root (lighttpd, Apache, nginx) and under its own URL; and x/net/webdav under litmus
# through both, against the same handler on plain net/http.
add_test(NAME web_url COMMAND bash ${CMAKE_SOURCE_DIR}/tests/web/url_test.sh
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(web_url PROPERTIES TIMEOUT 600)
