# The terminal's files: paths, searches, file handles, copies, share modes.
korva_test(files_tests host/FilesTest.cpp)
