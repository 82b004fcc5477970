# Setup's installation runs through termsim, with real installer processes: the CAB
# installer stand-in, a trivial script, or a probe that reports the flags it finds.

# An installer for the tests: records the flags it finds, ends with the code its cabinet holds.
add_executable(install_probe e2e/InstallerProbe.cpp)
target_link_libraries(install_probe PRIVATE korva_host_startup korva_warnings)

korva_test(install_run_tests
  e2e/E2eSupport.cpp
  e2e/E2eSupport.h
  e2e/InstallRunSupport.cpp
  e2e/InstallRunSupport.h
  e2e/InstallRunTest.cpp
  e2e/InstallerFlagsTest.cpp
  e2e/HostileCabinetRunTest.cpp
  e2e/RehearseTest.cpp)
target_compile_definitions(install_run_tests PRIVATE
  TERMSIM_PATH="$<TARGET_FILE:termsim>"
  SETUP_PATH="$<TARGET_FILE:Setup>"
  INSTALLER_PROBE_PATH="$<TARGET_FILE:install_probe>")
add_dependencies(install_run_tests termsim wceload windowowner Setup install_probe)
