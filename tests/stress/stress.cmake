# Randomized whole runs of Setup and crash safety of the terminal, through termsim.

# Writes the registry of an image without end, reporting each committed write.
add_executable(stress_registry_writer stress/RegistryWriter.cpp)
target_include_directories(stress_registry_writer PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(stress_registry_writer PRIVATE korva_host korva_warnings)

korva_test(stress_tests
  e2e/E2eSupport.cpp
  e2e/E2eSupport.h
  stress/StressSupport.cpp
  stress/StressSupport.h
  stress/RandomTerminal.cpp
  stress/RandomTerminal.h
  stress/RunProperties.cpp
  stress/RunProperties.h
  stress/WriterPayload.h
  stress/RandomRunsTest.cpp
  stress/CrashSafetyTest.cpp)
target_link_libraries(stress_tests PRIVATE korva_regfile)
target_compile_definitions(stress_tests PRIVATE
  TERMSIM_PATH="$<TARGET_FILE:termsim>"
  WCELOAD_PATH="$<TARGET_FILE:wceload>"
  SETUP_PATH="$<TARGET_FILE:Setup>"
  WRITER_PATH="$<TARGET_FILE:stress_registry_writer>")
add_dependencies(stress_tests termsim wceload Setup stress_registry_writer)
