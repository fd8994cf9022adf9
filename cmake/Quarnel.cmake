# Build conventions shared by every Quarnel target. Directory-scoped settings here reach
# Quarnel's own folders only, never a parent project's targets.

# QUARNEL_SANITIZE selects one instrumented build of the whole tree:
#   address - AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included)
#   thread  - ThreadSanitizer
#   fuzzer  - libFuzzer coverage + AddressSanitizer + UndefinedBehaviorSanitizer, clang only;
#             adds the fuzz/ targets (scripts/fuzz.sh)
# With address or thread, quarnel_core also carries the flags as INTERFACE compile and link
# options (kept in the installed package), so every target that links Quarnel::core is
# instrumented the same way: a sanitizer runtime needs the whole program built with it.
set(QUARNEL_SANITIZE "" CACHE STRING "Sanitizer build: empty, address, thread or fuzzer")
set_property(CACHE QUARNEL_SANITIZE PROPERTY STRINGS "" address thread fuzzer)

include(GNUInstallDirs)

add_compile_options(-Wall -Wextra)
# __FILE__ relative to Quarnel's source tree, whoever builds it, so fatal-error lines name
# "libs/core/World.cpp" wherever in the library's folders the file sits. GCC takes the last
# matching map, clang the longest: the general map comes first.
add_compile_options(-fmacro-prefix-map=${Quarnel_SOURCE_DIR}/=)
foreach(folder src include/quarnel include/quarnel/detail)
  add_compile_options(-fmacro-prefix-map=${Quarnel_SOURCE_DIR}/libs/core/${folder}/=libs/core/)
endforeach()
foreach(folder src include/quarnel/modelkit)
  add_compile_options(-fmacro-prefix-map=${Quarnel_SOURCE_DIR}/libs/modelkit/${folder}/=libs/modelkit/)
endforeach()

set(QUARNEL_SANITIZER_FLAGS "")
if(QUARNEL_SANITIZE STREQUAL "address")
  set(QUARNEL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(QUARNEL_SANITIZE STREQUAL "thread")
  set(QUARNEL_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(QUARNEL_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUARNEL_SANITIZE=fuzzer needs clang: configure with CXX=clang++")
  endif()
  set(QUARNEL_SANITIZER_FLAGS
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(NOT QUARNEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUARNEL_SANITIZE must be empty, 'address', 'thread' or 'fuzzer', not '${QUARNEL_SANITIZE}'")
endif()
if(QUARNEL_SANITIZER_FLAGS)
  add_compile_options(${QUARNEL_SANITIZER_FLAGS})
  add_link_options(${QUARNEL_SANITIZER_FLAGS})
endif()

# The library's own dependencies; QuarnelConfig.cmake finds the same ones again.
find_package(Threads REQUIRED)
find_package(Boost REQUIRED COMPONENTS system)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOG4CPP REQUIRED IMPORTED_TARGET log4cpp)
# modelkit's Recorder writes SQLite files through the library's C API (Debian: libsqlite3-dev).
find_package(SQLite3 REQUIRED)
# modelkit's live view (--view) serves its page with cpp-httplib (Debian: libcpp-httplib-dev).
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
# Checkpoints: cereal's binary archives (header only, Debian: libcereal-dev) and zlib's CRC-32
# (Debian: zlib1g-dev).
find_package(cereal REQUIRED)
find_package(ZLIB REQUIRED)
# Studies spread over the ranks of an MPI job when Open MPI is there (Debian: libopenmpi-dev);
# without it everything else builds, and a study launched by mpirun says how to get MPI. Only
# MPI's C interface is used, from C++ (MPI_CXX_SKIP_MPICXX leaves out the old C++ bindings).
# Found here, before the package's config file is written, which must find it again.
set(MPI_CXX_SKIP_MPICXX ON)
find_package(MPI COMPONENTS CXX QUIET)
set(QUARNEL_HAVE_MPI ${MPI_CXX_FOUND})

# googletest: the tests, and the population program, whose run is also a googletest test.
if(QUARNEL_BUILD_TESTS OR QUARNEL_BUILD_APPS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# quarnel_add_test(<name> <sources...> [LIBS <libs...>])
# One googletest executable, registered with CTest test by test.
# The tests share one precompiled header of googletest and the kernel's interface, built once per
# tree: parsing them took a large share of each test's compile time.
function(quarnel_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(NOT TARGET quarnel_test_pch)
    file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/quarnel_test_pch.cpp CONTENT "// The tests' precompiled header.\n")
    add_library(quarnel_test_pch OBJECT ${PROJECT_BINARY_DIR}/quarnel_test_pch.cpp)
    target_link_libraries(quarnel_test_pch PRIVATE quarnel_core GTest::gtest)
    target_precompile_headers(quarnel_test_pch PRIVATE <gtest/gtest.h> <quarnel/Quarnel.h>)
  endif()
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  # A test that sets one of Quarnel's switches before its includes must parse the headers itself.
  set(switches "")
  foreach(source ${ARG_UNPARSED_ARGUMENTS})
    file(STRINGS ${source} defines REGEX "^#define QUARNEL_")
    list(APPEND switches ${defines})
  endforeach()
  if(NOT switches)
    target_precompile_headers(${name} REUSE_FROM quarnel_test_pch)
  endif()
  target_link_libraries(${name} PRIVATE quarnel_core GTest::gtest GTest::gtest_main ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} PROPERTIES TIMEOUT 600)
endfunction()

# The build tree's include folder: the generated <quarnel/Version.h>.
set(QUARNEL_BUILD_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
