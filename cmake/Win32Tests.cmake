# The Win32 build of Setup with its call check, then its runs under Wine compared with
# this build's programs, as tests of the host build: one test command runs everything.
# Each is skipped (77) with a line saying why where mingw-w64 or Wine is missing. The
# sanitizer build leaves them to the host build: the Win32 build is the same, and the
# runs would only be slower.
if(KORVA_SANITIZE)
  return()
endif()

add_test(NAME win32_build COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build-win32.sh)
set_tests_properties(win32_build PROPERTIES
  LABELS win32 SKIP_RETURN_CODE 77 TIMEOUT 1200 FIXTURES_SETUP win32_setup)

add_test(NAME wine_scenarios
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/wine/run-scenarios.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set_tests_properties(wine_scenarios PROPERTIES
  LABELS "win32;scenario" SKIP_RETURN_CODE 77 TIMEOUT 1200 FIXTURES_REQUIRED win32_setup)
