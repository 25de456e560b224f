# dostrel-appserver-config.cmake -- find_package(dostrel-appserver): the targets
# dostrel::appserver (the shared library) and dostrel::appserver_static.
include(CMakeFindDependencyMacro)
find_dependency(Threads) # the static library's threads
include(${CMAKE_CURRENT_LIST_DIR}/dostrel-appserver-targets.cmake)
