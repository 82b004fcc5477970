# Settings and warnings every target links, as INTERFACE targets.

# A compiler cache where one is installed, unless the build names its own launcher.
find_program(KORVA_CCACHE ccache)
if(KORVA_CCACHE)
  foreach(language C CXX)
    if(NOT DEFINED CMAKE_${language}_COMPILER_LAUNCHER)
      set(CMAKE_${language}_COMPILER_LAUNCHER ${KORVA_CCACHE})
    endif()
  endforeach()
endif()

# Warnings fail the build only where asked (the presets of the tests and CI ask): a
# user's build, with whatever compiler the user has, must not stop at a warning that
# compiler is the first to give.
option(KORVA_WERROR "Treat warnings as errors" OFF)
add_library(korva_warnings INTERFACE)
if(MSVC)
  target_compile_options(korva_warnings INTERFACE /W4 $<$<BOOL:${KORVA_WERROR}>:/WX>)
else()
  target_compile_options(korva_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-qual -Wnon-virtual-dtor
    -Wno-missing-field-initializers $<$<BOOL:${KORVA_WERROR}>:-Werror>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports impossible overlaps inside std::string at -O3 (a known false positive).
    target_compile_options(korva_warnings INTERFACE -Wno-restrict)
  endif()
endif()

# Sanitizers: linked into every target made after this point, by the directory rather
# than by each target, so that none is built or linked without them.
set(KORVA_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
add_library(korva_sanitizers INTERFACE)
if(KORVA_SANITIZE)
  target_compile_options(korva_sanitizers INTERFACE
    -fsanitize=${KORVA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(korva_sanitizers INTERFACE -fsanitize=${KORVA_SANITIZE})
endif()
link_libraries(korva_sanitizers)

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
