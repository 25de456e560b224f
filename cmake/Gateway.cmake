# The gateway, its code and the configuration checker.

# The build's date and time, compiled once: the process tests compare the gateway's error pages
# with the date in their own copy of the code, and the gateway may be compiled twice (glibc, musl).
# The file uses no library; position-independent, as the musl gateway is.
add_library(dostrel_build_info OBJECT src/diag/build_info.cc)
target_include_directories(dostrel_build_info PRIVATE src)
set_target_properties(dostrel_build_info PROPERTIES POSITION_INDEPENDENT_CODE ON)
dostrel_warnings(dostrel_build_info)

# The gateway's code: a library of everything but the entry and the socket layer, so that the
# unit tests can link the same code against a scripted socket layer.
set(DOSTREL_CORE_SOURCES
  src/config/config_reader.cc
  src/config/decimal.cc
  src/config/link_table.cc
  src/config/tokens.cc
  src/diag/catalogue.cc
  src/diag/error_page.cc
  src/diag/report.cc
  src/diag/switches.cc
  src/diag/trace.cc
  src/driver/gateway_main.cc
  src/driver/request.cc
  src/driver/request_body.cc
  src/link/link_request.cc
  src/link/response_relay.cc
  src/link/send_buffer.cc
  src/link/tcp_transaction.cc
  src/platform/environment.cc
  $<IF:$<BOOL:${WIN32}>,src/platform/windows_process.cc,src/platform/posix_process.cc>
  $<IF:$<BOOL:${WIN32}>,src/platform/windows_memory.cc,src/platform/posix_memory.cc>
  $<IF:$<BOOL:${WIN32}>,src/platform/windows_files.cc,src/platform/posix_files.cc>
)
set(DOSTREL_SOCKET_SOURCES
  $<IF:$<BOOL:${WIN32}>,src/platform/windows_sockets.cc,src/platform/posix_sockets.cc>)

add_library(dostrel_core STATIC ${DOSTREL_CORE_SOURCES} $<TARGET_OBJECTS:dostrel_build_info>)
target_include_directories(dostrel_core PUBLIC src)
dostrel_warnings(dostrel_core)

add_library(dostrel_sockets STATIC ${DOSTREL_SOCKET_SOURCES})
target_include_directories(dostrel_sockets PUBLIC src)
if(WIN32)
  target_link_libraries(dostrel_sockets PUBLIC ws2_32)
endif()
dostrel_warnings(dostrel_sockets)

add_executable(dostrel src/driver/main.cc)
dostrel_warnings(dostrel)

# A process is started for every request: a static gateway skips the dynamic loader's work.
# Name lookups still work: the C library resolves through /etc/hosts and DNS without loading
# modules (a test resolves "localhost").
# On Windows the same keeps the executable free of the MinGW runtime libraries.
if((CMAKE_SYSTEM_NAME STREQUAL "Linux" OR WIN32) AND NOT DOSTREL_SANITIZE AND NOT DOSTREL_FUZZ)
  option(DOSTREL_STATIC "Link the gateway statically" ON)
else()
  option(DOSTREL_STATIC "Link the gateway statically" OFF)
endif()

# On Linux the static gateway is built against musl where it is installed (cmake/GatewayMusl.cmake);
# elsewhere, and for every other program and test, the host's C and C++ libraries serve.
include(cmake/GatewayMusl.cmake)
if(DOSTREL_MUSL_SPECS)
  dostrel_link_gateway_on_musl(dostrel)
else()
  target_link_libraries(dostrel PRIVATE dostrel_core dostrel_sockets)
  if(DOSTREL_STATIC)
    target_link_options(dostrel PRIVATE -static)
  endif()
endif()

if(WIN32)
  return()
endif()

# dostrel-check: the configuration checker, on the gateway's own configuration code.
add_executable(dostrel-check tools/check/dostrel_check.cc)
target_link_libraries(dostrel-check PRIVATE dostrel_core dostrel_sockets)
dostrel_warnings(dostrel-check)
