# Warnings live on an interface target that only the project's own targets link.
add_library(velmora_warnings INTERFACE)
# -Wno-psabi: GCC notes that 512-bit vector arguments changed their calling convention in GCC 4.6.
# Those vectors only travel between functions of this module, which exports nothing but
# PyInit_velmora, and GCC emits the note after inlining, where no diagnostic pragma reaches it.
target_compile_options(velmora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
  -Wdouble-promotion -Wimplicit-fallthrough -Wno-psabi)
if(VELMORA_WERROR)
  target_compile_options(velmora_warnings INTERFACE -Werror)
endif()
