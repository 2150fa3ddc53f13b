# nlohmann-json is header-only, so the Windows build uses Debian's headers. Only the nlohmann
# folder is made visible: the rest of /usr/include belongs to the build machine, not to Windows.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_nlohmann_include ${CMAKE_BINARY_DIR}/nlohmann-include)
  file(MAKE_DIRECTORY ${_nlohmann_include})
  file(CREATE_LINK /usr/include/nlohmann ${_nlohmann_include}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${_nlohmann_include})
endif()
set(nlohmann_json_FOUND TRUE)
set(nlohmann_json_VERSION 3.11.2)
