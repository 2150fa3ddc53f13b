# Settings that make a build faster and change nothing it checks.

# The native builds link with mold where it is installed (./dev installs it): the many test
# executables, with their debug information, are linked faster than by the default linker.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  find_program(IAPFLASH_MOLD NAMES ld.mold)
  if(IAPFLASH_MOLD)
    add_link_options(-fuse-ld=mold)
  endif()
endif()
