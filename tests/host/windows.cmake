# Windows and messages (with the window-owner stand-in); locale and text comparison.
korva_test(windows_tests host/WindowsTest.cpp)
target_link_libraries(windows_tests PRIVATE korva_windowowner)
add_dependencies(windows_tests windowowner)
korva_test(locale_tests host/LocaleTest.cpp)
