# Whole runs through termsim, as people and outside tests drive it: each test makes
# its own image with `termsim create` and checks exit codes, output and the journal.

# A small program of the terminal that does one thing on request (exit, reset, write).
add_executable(e2e_probe e2e/Probe.cpp)
target_link_libraries(e2e_probe PRIVATE korva_host_startup korva_warnings)

korva_test(e2e_tests
  e2e/E2eSupport.cpp
  e2e/E2eSupport.h
  e2e/CommandLineTest.cpp
  e2e/CreateTest.cpp
  e2e/RegTest.cpp
  e2e/FaultTest.cpp
  e2e/RunTest.cpp
  e2e/SetupTest.cpp)
target_compile_definitions(e2e_tests PRIVATE
  TERMSIM_PATH="$<TARGET_FILE:termsim>"
  WCELOAD_PATH="$<TARGET_FILE:wceload>"
  PROBE_PATH="$<TARGET_FILE:e2e_probe>"
  SETUP_PATH="$<TARGET_FILE:Setup>")
add_dependencies(e2e_tests termsim wceload windowowner e2e_probe Setup)
