# The CAB installer stand-in, run as \Windows\wceload.exe on test images.
korva_test(installer_tests host/InstallerTest.cpp)
add_dependencies(installer_tests wceload)
target_compile_definitions(installer_tests PRIVATE WCELOAD_PATH="$<TARGET_FILE:wceload>")
