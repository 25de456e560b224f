# The application-server library (appserver/: a C interface, C++ inside), as a shared library
# with a soname and as a static one, both from the same position-independent objects (the static
# one links into shared objects too); and the sample server dostrel-appserver built on it.
# The version is the header's, written once there.
file(STRINGS appserver/include/dostrel/appserver.h DOSTREL_APPSERVER_VERSION
     REGEX "^#define DOSTREL_APPSERVER_VERSION \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" DOSTREL_APPSERVER_VERSION "${DOSTREL_APPSERVER_VERSION}")
string(REGEX REPLACE "\\..*" "" DOSTREL_APPSERVER_SOVERSION "${DOSTREL_APPSERVER_VERSION}")

find_package(Threads REQUIRED)
add_library(dostrel_appserver_objects OBJECT
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
  appserver/src/version.cc
)
set_target_properties(dostrel_appserver_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(dostrel_appserver_objects PUBLIC
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/appserver/include> $<INSTALL_INTERFACE:include>)
dostrel_warnings(dostrel_appserver_objects)

add_library(dostrel_appserver STATIC $<TARGET_OBJECTS:dostrel_appserver_objects>)
add_library(dostrel_appserver_shared SHARED $<TARGET_OBJECTS:dostrel_appserver_objects>)
foreach(library dostrel_appserver dostrel_appserver_shared)
  target_include_directories(${library} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/appserver/include> $<INSTALL_INTERFACE:include>)
  target_link_libraries(${library} PRIVATE Threads::Threads)
endforeach()
# Only the dostrel_ functions leave the shared library, under one symbol version per release.
set(DOSTREL_APPSERVER_MAP ${CMAKE_SOURCE_DIR}/appserver/libdostrel_appserver.map)
set_target_properties(dostrel_appserver_shared PROPERTIES
  OUTPUT_NAME dostrel_appserver VERSION ${DOSTREL_APPSERVER_VERSION}
  SOVERSION ${DOSTREL_APPSERVER_SOVERSION} EXPORT_NAME appserver
  LINK_DEPENDS ${DOSTREL_APPSERVER_MAP})
target_link_options(dostrel_appserver_shared PRIVATE -Wl,--version-script=${DOSTREL_APPSERVER_MAP})
# Every symbol resolved at link time, except in an instrumented build: the sanitizers' and the
# fuzzer's runtimes come with the program that loads the library, not with the library.
if(NOT DOSTREL_SANITIZE AND NOT DOSTREL_FUZZ)
  target_link_options(dostrel_appserver_shared PRIVATE -Wl,--no-undefined)
endif()
set_target_properties(dostrel_appserver PROPERTIES EXPORT_NAME appserver_static)

add_executable(dostrel-appserver appserver/sample/appserver.cc appserver/sample/answers.cc
  appserver/sample/sha256.cc)
target_link_libraries(dostrel-appserver PRIVATE dostrel_appserver)
dostrel_warnings(dostrel-appserver)
