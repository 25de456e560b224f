# The application-server library (appserver/: a C interface, C++ inside) and the sample server
# dostrel-appserver built on it.
add_library(dostrel_appserver STATIC
  appserver/src/allow_list.cc
  appserver/src/decoder.cc
  appserver/src/link.cc
  appserver/src/listener.cc
  appserver/src/request.cc
  appserver/src/response.cc
  appserver/src/serve.cc
  appserver/src/serve_loop.cc
  appserver/src/server_log.cc
  appserver/src/stop_signals.cc
)
target_include_directories(dostrel_appserver PUBLIC
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/appserver/include> $<INSTALL_INTERFACE:include>)
dostrel_warnings(dostrel_appserver)

add_executable(dostrel-appserver appserver/sample/appserver.cc appserver/sample/answers.cc
  appserver/sample/sha256.cc)
target_link_libraries(dostrel-appserver PRIVATE dostrel_appserver)
dostrel_warnings(dostrel-appserver)
