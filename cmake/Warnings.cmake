# Every target of the project compiles with the same strict warnings; presets add -Werror.
add_library(tallowmere_warnings INTERFACE)
target_compile_options(tallowmere_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
