# Warnings and sanitizers live on interface targets that every layer links,
# so a preset switches them for the whole tree at once.

# Off unless asked: a packager's plain configure must survive the warnings a
# newer compiler adds. The presets (developers, CI) turn it on.
option(CORVANE_WERROR "Treat compiler warnings as errors" OFF)

add_library(corvane_warnings INTERFACE)
target_compile_options(corvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  $<$<BOOL:${CORVANE_WERROR}>:-Werror>)

add_library(corvane_sanitizers INTERFACE)
if(CORVANE_SANITIZE)
  target_compile_options(corvane_sanitizers INTERFACE
    -fsanitize=${CORVANE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(corvane_sanitizers INTERFACE -fsanitize=${CORVANE_SANITIZE})
endif()

add_library(corvane_options INTERFACE)
target_link_libraries(corvane_options INTERFACE corvane_warnings corvane_sanitizers)
target_include_directories(corvane_options INTERFACE ${PROJECT_SOURCE_DIR})
