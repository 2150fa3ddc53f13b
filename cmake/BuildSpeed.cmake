# Settings that make a build faster and change nothing it checks.

# The native builds link with mold where it is installed (./dev installs it): the many test
# executables, with their debug information, are linked faster than by the default linker.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  find_program(IAPFLASH_MOLD NAMES ld.mold)
  if(IAPFLASH_MOLD)
    add_link_options(-fuse-ld=mold)
  endif()
endif()

# The test suites' headers (GoogleTest and GoogleMock) parsed once per build instead of once per
# test source, in the builds that set IAPFLASH_PCH (not debug: there every file still has to name
# what it includes, and a missing include shows).
option(IAPFLASH_PCH "Precompile GoogleTest's headers for the test executables" OFF)

# Gives every executable below dir that links GoogleTest the precompiled headers of target from.
function(iapflash_reuse_pch dir from)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(libs ${target} LINK_LIBRARIES)
    # Qt's targets compile with flags of their own (-fPIC), with which the header would not load.
    if(type STREQUAL "EXECUTABLE" AND libs MATCHES "GTest::" AND NOT libs MATCHES "Qt6::")
      target_precompile_headers(${target} REUSE_FROM ${from})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    iapflash_reuse_pch(${subdir} ${from})
  endforeach()
endfunction()
