# Tests of the Windows build, run by ctest under wine.
#
# GoogleTest is built from Debian's sources (/usr/src/googletest, which
# defines the GTest:: aliases) with the cross compiler.
#
# Every test runs in one throwaway wine prefix per ctest run,
# <build>/wine-prefix: the "wine" fixture makes it fresh and starts a
# persistent wineserver before the first test (without that warm-up the
# first test can hang until its time-out while wine sets the prefix up),
# and stops the wineserver and deletes the prefix after the last.

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(HALVEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(HALVEX_WINE_ENV
  WINEPREFIX=${HALVEX_WINE_PREFIX}
  WINEDEBUG=-all
  # No Mono or Gecko installers when the prefix is made: the tests need
  # neither .NET nor HTML.
  WINEDLLOVERRIDES=mscoree,mshtml=)

add_test(NAME wine_prefix_up COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix up ${HALVEX_WINE_PREFIX})
add_test(NAME wine_prefix_down COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix down ${HALVEX_WINE_PREFIX})
set_tests_properties(wine_prefix_up PROPERTIES
  FIXTURES_SETUP wine LABELS windows TIMEOUT 300 ENVIRONMENT "${HALVEX_WINE_ENV}")
set_tests_properties(wine_prefix_down PROPERTIES
  FIXTURES_CLEANUP wine LABELS windows TIMEOUT 60 ENVIRONMENT "${HALVEX_WINE_ENV}")

# Tests that need a display (the tray, the installer, the installed agent)
# run on a private X server in a prefix of their own, one at a time: see
# cmake/wine-gui.
set(HALVEX_WINE_GUI_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix-gui)
set(HALVEX_WINE_GUI ${PROJECT_SOURCE_DIR}/cmake/wine-gui)
add_test(NAME wine_gui_up COMMAND ${HALVEX_WINE_GUI} up ${HALVEX_WINE_GUI_PREFIX})
add_test(NAME wine_gui_down COMMAND ${HALVEX_WINE_GUI} down ${HALVEX_WINE_GUI_PREFIX})
set_tests_properties(wine_gui_up PROPERTIES FIXTURES_SETUP wine_gui LABELS windows TIMEOUT 300)
set_tests_properties(wine_gui_down PROPERTIES FIXTURES_CLEANUP wine_gui LABELS windows TIMEOUT 60)

# halvex_wine_gui_test(name COMMAND program args... [LABELS labels...]): a
# test run by cmake/wine-gui in the display prefix.
function(halvex_wine_gui_test name)
  cmake_parse_arguments(T "" "" "COMMAND;LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${HALVEX_WINE_GUI} run ${HALVEX_WINE_GUI_PREFIX} ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_gui RESOURCE_LOCK wine_gui
    TIMEOUT 120 LABELS "windows;${T_LABELS}")
endfunction()

# TLS test servers outside wine for the tests of WinHTTP (links, uploads,
# downloads): the "wine_tls" fixture makes a test PKI and starts them
# (tests/support/wine_tls_server.py); HALVEX_WINE_TLS_DIR tells the tests
# where their ports, CA and log are.
set(HALVEX_WINE_TLS_DIR ${CMAKE_BINARY_DIR}/wine-tls-servers)
set(tls_server ${PROJECT_SOURCE_DIR}/tests/support/wine_tls_server.py)
add_test(NAME wine_tls_servers_up COMMAND /usr/bin/python3 ${tls_server} start ${HALVEX_WINE_TLS_DIR})
add_test(NAME wine_tls_servers_down COMMAND /usr/bin/python3 ${tls_server} stop ${HALVEX_WINE_TLS_DIR})
set_tests_properties(wine_tls_servers_up PROPERTIES FIXTURES_SETUP wine_tls LABELS windows TIMEOUT 60)
set_tests_properties(wine_tls_servers_down PROPERTIES FIXTURES_CLEANUP wine_tls LABELS windows TIMEOUT 60)

# halvex_wine_tls_servers(test): `test` (made by halvex_test) needs them.
function(halvex_wine_tls_servers test)
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED "wine;wine_tls" TIMEOUT 120
    ENVIRONMENT "${HALVEX_WINE_ENV};HALVEX_WINE_TLS_DIR=${HALVEX_WINE_TLS_DIR}")
endfunction()
