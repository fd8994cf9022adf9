# Build conventions shared by every Quarnel target.

# QUARNEL_SANITIZE selects one instrumented build of the whole tree:
#   address - AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included)
#   thread  - ThreadSanitizer
#   fuzzer  - libFuzzer coverage + AddressSanitizer + UndefinedBehaviorSanitizer, clang only;
#             adds the fuzz/ targets (scripts/fuzz.sh)
set(QUARNEL_SANITIZE "" CACHE STRING "Sanitizer build: empty, address, thread or fuzzer")
set_property(CACHE QUARNEL_SANITIZE PROPERTY STRINGS "" address thread fuzzer)

add_compile_options(-Wall -Wextra)
# __FILE__ relative to the source tree, so fatal-error lines name "libs/core/World.cpp".
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)

if(QUARNEL_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(QUARNEL_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(QUARNEL_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUARNEL_SANITIZE=fuzzer needs clang: configure with CXX=clang++")
  endif()
  set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(NOT QUARNEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUARNEL_SANITIZE must be empty, 'address', 'thread' or 'fuzzer', not '${QUARNEL_SANITIZE}'")
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(Boost REQUIRED COMPONENTS system)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LOG4CPP REQUIRED IMPORTED_TARGET log4cpp)
include(GoogleTest)

# quarnel_add_test(<name> <sources...> [LIBS <libs...>])
# One googletest executable, registered with CTest test by test.
function(quarnel_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE quarnel_core GTest::gtest GTest::gtest_main ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} PROPERTIES TIMEOUT 600)
endfunction()
