# Shared build settings for the project's own targets.

if(HALVEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(HALVEX_TSAN)
  # ThreadSanitizer cannot be combined with AddressSanitizer: its own preset.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Asio orders handler memory with std::atomic_thread_fence, which TSan
  # cannot see (GCC warns, and would report false races). Its handler queues
  # are mutex-guarded anyway, so the fenced blocks can go.
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
endif()
if(HALVEX_FUZZ)
  # Instrument every library for coverage; the fuzz targets add the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# halvex_warnings(target): our code builds warning-free.
function(halvex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# halvex_test(name SOURCES sources... LIBS libs... [LABELS labels...]): one
# GoogleTest executable run by ctest. Every test carries two labels, so a
# stage can pick tests with `ctest -L <kind> -L <module>`:
#   kind:   e2e (tests/e2e), integration (tests/integration), security
#           (tests/security), else unit;
#   module: the top-level folder (link, drone, ...). Tests under tests/ name
#           their module in LABELS.
function(halvex_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  halvex_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(rel MATCHES "^tests/(e2e|integration|security)")
    set(labels ${CMAKE_MATCH_1})
  else()
    string(REGEX REPLACE "/.*" "" module "${rel}")
    set(labels unit ${module})
  endif()
  list(APPEND labels ${T_LABELS})
  if(WIN32)
    # Under wine, in the run's prefix (cmake/windows-tests.cmake).
    list(APPEND labels windows)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${HALVEX_WINE_ENV}")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS "${labels}")
endfunction()
