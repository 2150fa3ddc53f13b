# cpp-httplib for the Windows build: the whole library in its one header, from Debian's source
# package (./dev deps puts it in /usr/src/cpp-httplib). Only that header is made visible.
if(NOT TARGET httplib::httplib)
  set(_httplib_source /usr/src/cpp-httplib/httplib.h)
  if(NOT EXISTS ${_httplib_source})
    message(FATAL_ERROR "${_httplib_source} is missing: run ./dev deps")
  endif()
  set(_httplib_include ${CMAKE_BINARY_DIR}/httplib-include)
  file(MAKE_DIRECTORY ${_httplib_include})
  file(CREATE_LINK ${_httplib_source} ${_httplib_include}/httplib.h SYMBOLIC)
  add_library(httplib::httplib INTERFACE IMPORTED)
  set_target_properties(httplib::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_httplib_include}
                                                    INTERFACE_LINK_LIBRARIES ws2_32)
endif()
set(httplib_FOUND TRUE)
