# Processes, threads, mutexes, message boxes, devices and the touch panel.

# A program of the terminal that the tests start and copy into images' fs/.
add_executable(process_probe host/programs/Probe.cpp)
target_link_libraries(process_probe PRIVATE korva_host_startup korva_warnings)
set_target_properties(process_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/programs)

korva_test(process_tests
  host/ProcessTestSupport.h
  host/ProcessTest.cpp
  host/SyncTest.cpp
  host/DeviceTest.cpp)
target_compile_definitions(process_tests PRIVATE PROCESS_PROBE_PATH="$<TARGET_FILE:process_probe>")
add_dependencies(process_tests process_probe)
