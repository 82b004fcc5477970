# The registry calls and .reg files.
korva_test(registry_tests host/RegistryTest.cpp host/RegFileTest.cpp)
target_link_libraries(registry_tests PRIVATE korva_regfile)
