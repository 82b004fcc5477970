# The program's operations against a terminal image attached to the test process.
korva_test(program_tests
  program/CabInventoryTest.cpp
  program/CalibrationRecordTest.cpp
  program/DeviceProfileTest.cpp
  program/InstallationPassesTest.cpp
  program/ProgramTest.cpp
  program/ProgramTest.h
  program/RegistryValuesTest.cpp
  program/StorageLocationsTest.cpp)
# The emulated terminal again after the program's libraries, which call into it.
target_link_libraries(program_tests PRIVATE
  korva_setup_main korva_calibration korva_environment korva_install korva_registry korva_host)
