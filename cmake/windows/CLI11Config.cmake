# CLI11 is header-only, so the Windows build uses Debian's headers. Only the CLI folder is made
# visible: the rest of /usr/include belongs to the build machine, not to Windows.
if(NOT TARGET CLI11::CLI11)
  set(_cli11_include ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${_cli11_include})
  file(CREATE_LINK /usr/include/CLI ${_cli11_include}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_cli11_include})
endif()
set(CLI11_FOUND TRUE)
