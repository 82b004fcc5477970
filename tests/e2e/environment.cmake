# Setup's handling of other programs' windows and of the calibration record, whole runs
# through termsim; and power cuts in the middle of a calibration save.

# A program of the terminal that runs one calibration save.
add_executable(e2e_calibration_saver e2e/CalibrationSaver.cpp)
target_link_libraries(e2e_calibration_saver PRIVATE
  korva_calibration korva_program_settings korva_host_startup korva_host)

korva_test(environment_tests
  e2e/E2eSupport.cpp
  e2e/E2eSupport.h
  e2e/WindowsRunTest.cpp
  e2e/CalibrationRunTest.cpp
  e2e/PowerLossTest.cpp)
target_compile_definitions(environment_tests PRIVATE
  TERMSIM_PATH="$<TARGET_FILE:termsim>"
  SETUP_PATH="$<TARGET_FILE:Setup>"
  CALIBRATION_SAVER_PATH="$<TARGET_FILE:e2e_calibration_saver>")
add_dependencies(environment_tests termsim wceload windowowner e2e_calibration_saver Setup)
