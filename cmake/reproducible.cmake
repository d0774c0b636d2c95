# The same commit gives the same bytes, in whatever folder and at whatever time it is built
# (scripts/repro-check.sh proves it), so anyone can rebuild a release and compare it.

# Paths the compiler would write into objects (__FILE__ in assertions, debug information,
# the compile directory) are written relative to the tree. The build tree comes second: GCC
# tries the last matching map first, and build/ may sit inside the source tree.
add_compile_options(
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
# The date and time of a compilation would differ from build to build: refuse them.
add_compile_options(-Werror=date-time)

if(WIN32)
  # ld stamps the link time into the PE header and the export directory of every image;
  # without it both stay 0. The demo programs need it too: the packet carries them whole.
  add_link_options(-Wl,--no-insert-timestamp)
endif()
