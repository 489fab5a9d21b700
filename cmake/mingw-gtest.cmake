# GoogleTest for the MinGW test programs (tests/windows, tests/wdm): built
# once, from Debian's sources, for the target with its own compile options
# (not the tree's -Werror set), without pthreads, and with a porting header
# (tests/windows/gtest_port/) that stands in for the std::mutex that the
# win32-thread MinGW-w64 lacks.
include_guard(GLOBAL)

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_property(TARGET gtest PROPERTY COMPILE_OPTIONS "")
target_include_directories(gtest BEFORE PUBLIC ${PROJECT_SOURCE_DIR}/tests/windows/gtest_port)
