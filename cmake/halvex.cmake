# Shared build settings for the project's own targets.

if(HALVEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
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

# halvex_test(name sources... LIBS libs...): one GoogleTest executable run by ctest.
function(halvex_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  halvex_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(WIN32)
    # Under wine, in the run's prefix (cmake/windows-tests.cmake).
    set_tests_properties(${name} PROPERTIES
      LABELS windows FIXTURES_REQUIRED wine ENVIRONMENT "${HALVEX_WINE_ENV}")
  endif()
endfunction()
