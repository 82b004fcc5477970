# The API's answers, one table per family, and the confinement of every path to fs/.
korva_test(conformance_tests
  conformance/ConformanceTable.h
  conformance/RegistryConformanceTest.cpp
  conformance/FilesConformanceTest.cpp
  conformance/ConfinementTest.cpp
  conformance/ProcessConformanceTest.cpp
  conformance/TextConformanceTest.cpp)
