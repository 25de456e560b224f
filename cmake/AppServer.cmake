# dostrel-appserver: the project's link-protocol application server, and its request decoder,
# which the tests use too.
find_package(Threads REQUIRED)

add_library(dostrel_link_request STATIC tools/appserver/link_request_reader.cc)
target_include_directories(dostrel_link_request PUBLIC tools/appserver)
dostrel_warnings(dostrel_link_request)

add_executable(dostrel-appserver tools/appserver/appserver.cc)
target_link_libraries(dostrel-appserver PRIVATE dostrel_link_request Threads::Threads)
dostrel_warnings(dostrel-appserver)
