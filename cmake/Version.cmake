# The one version number is project()'s. A build from a git checkout adds the short commit. The
# header is rewritten at every build when its text changes, so a new commit shows without a new
# configure and an unchanged one rebuilds nothing.
set(IAPFLASH_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
add_custom_target(
  iapflash_version_header
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${IAPFLASH_GENERATED_DIR}/iapflash_version.h -P
          ${PROJECT_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${IAPFLASH_GENERATED_DIR}/iapflash_version.h
  VERBATIM)
add_library(iapflash_version INTERFACE)
target_include_directories(iapflash_version INTERFACE ${IAPFLASH_GENERATED_DIR})
add_dependencies(iapflash_version iapflash_version_header)
