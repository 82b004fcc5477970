# Settings and warnings every target links, as INTERFACE targets.
add_library(korva_warnings INTERFACE)
if(MSVC)
  target_compile_options(korva_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(korva_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wformat=2 -Wcast-qual -Wnon-virtual-dtor
    -Wno-missing-field-initializers)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports impossible overlaps inside std::string at -O3 (a known false positive).
    target_compile_options(korva_warnings INTERFACE -Wno-restrict)
  endif()
endif()

# Sanitizers go with the warnings, which every target links, so that no target is built
# or linked without them.
set(KORVA_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
if(KORVA_SANITIZE)
  target_compile_options(korva_warnings INTERFACE
    -fsanitize=${KORVA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(korva_warnings INTERFACE -fsanitize=${KORVA_SANITIZE})
endif()

# The program itself: no exceptions, no RTTI, nothing from the heap.
add_library(korva_program_settings INTERFACE)
target_include_directories(korva_program_settings INTERFACE ${PROJECT_SOURCE_DIR})
target_link_libraries(korva_program_settings INTERFACE korva_warnings)
if(NOT MSVC)
  target_compile_options(korva_program_settings INTERFACE -fno-exceptions -fno-rtti)
endif()
if(WIN32)
  target_compile_definitions(korva_program_settings INTERFACE UNICODE _UNICODE)
endif()

