# Settings that make a build faster and change nothing it checks.

# The native builds link with mold where it is installed (./dev installs it): the many test
# executables, with their debug information, are linked faster than by the default linker.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  find_program(IAPFLASH_MOLD NAMES ld.mold)
  if(IAPFLASH_MOLD)
    add_link_options(-fuse-ld=mold)
  endif()
endif()

# GCC collects its garbage each time its heap has grown past a floor (128 MB at most by
# default) by a share of itself. A source of a unity build, or one that instantiates much of
# GoogleMock or nlohmann/json, peaks at about 1 GB under the sanitizers: with the floor at 512 MB
# it is collected a few times instead of many: a tenth to a sixth less compile time, a tenth
# more memory. The compiled code is the same.
option(IAPFLASH_GCC_HEAP "Let GCC's heap grow to 512 MB before it collects garbage" ON)
if(IAPFLASH_GCC_HEAP AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(--param=ggc-min-expand=100 --param=ggc-min-heapsize=524288)
endif()

# The program's own libraries (src/), in the builds that set it, never in the plain debug build
# (for the same reason as below):
#   IAPFLASH_UNITY        the sources of each library compiled as one (CMake's unity build): the
#                         standard library's headers and templates, nlohmann/json's and the OS's,
#                         parsed and instantiated once per library instead of once per source.
#                         Each file still compiles on its own in the debug build, with the same
#                         flags and warnings.
option(IAPFLASH_UNITY "Compile each library of src/ as one source" OFF)

function(iapflash_unity_build dir)
  if(NOT IAPFLASH_UNITY)
    return()
  endif()
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY)$")
      continue()
    endif()
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
    if(WIN32)
      # Windows' headers define macros named as this program's functions and types (TextOut,
      # and the order winsock2.h wants): there the files of each folder that include them,
      # *_win32.cpp, are compiled as one of their own, apart from the portable ones.
      set_target_properties(${target} PROPERTIES UNITY_BUILD_MODE GROUP)
      get_target_property(sources ${target} SOURCES)
      foreach(source IN LISTS sources)
        set(group portable)
        if(source MATCHES "/([^/]+)/[^/]+_win32\\.cpp$")
          set(group ${CMAKE_MATCH_1}_win32)
        endif()
        set_source_files_properties(${source} TARGET_DIRECTORY ${target}
                                    PROPERTIES UNITY_GROUP ${group})
      endforeach()
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    iapflash_unity_build(${subdir})
  endforeach()
endfunction()

# Two settings for the test executables (those that link GoogleTest), in the builds that set them,
# never in the plain debug build: there every test source compiles on its own includes, so a
# missing include or a clash of two files' local names still shows.
#   IAPFLASH_PCH          GoogleTest's and GoogleMock's headers parsed once per build instead of
#                         once per test source (about 3.5 of a test source's 8 CPU seconds
#                         under ASan).
#   IAPFLASH_UNITY_TESTS  the sources of each test executable compiled as one (CMake's unity
#                         build): the headers and the templates they instantiate once per
#                         executable instead of once per source.
#   IAPFLASH_TESTS_O1     in an optimised build, the test executables' own code (and
#                         GoogleTest's) compiled at -O1: what they test, the program's
#                         libraries, keeps the build's optimisation. GCC for MinGW spends a
#                         third less time on a test source at -O1 than at -O3; at -O0 the
#                         objects, every inline function kept, grow so much that linking
#                         them takes several times as long as the compiling saves.
option(IAPFLASH_PCH "Precompile GoogleTest's headers for the test executables" OFF)
option(IAPFLASH_UNITY_TESTS "Compile each test executable's sources as one" OFF)
option(IAPFLASH_TESTS_O1 "Compile the tests' own code at -O1 in an optimised build" OFF)

# Applies those settings to every test executable below dir; from is the target whose
# precompiled headers they share.
function(iapflash_test_build_speed dir from)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  # Once, at the top: the last -O option counts, and these come after the build type's flags.
  # The target the precompiled header comes from needs the same flags as those that use it.
  if(IAPFLASH_TESTS_O1 AND dir STREQUAL CMAKE_CURRENT_SOURCE_DIR)
    foreach(lib ${from} gtest gtest_main gmock gmock_main)
      if(TARGET ${lib})
        get_target_property(imported ${lib} IMPORTED)
        if(NOT imported)
          target_compile_options(${lib} PRIVATE -O1)
        endif()
      endif()
    endforeach()
  endif()
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(libs ${target} LINK_LIBRARIES)
    if(NOT type STREQUAL "EXECUTABLE" OR NOT libs MATCHES "GTest::")
      continue()
    endif()
    if(IAPFLASH_UNITY_TESTS)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 16)
    endif()
    if(IAPFLASH_TESTS_O1)
      target_compile_options(${target} PRIVATE -O1)
    endif()
    # GCC 12 for MinGW, optimising, takes copies of strings and vectors in the tests (inlined
    # from the standard library) for accesses out of bounds, where there are none; which ones
    # depends on what it inlines where. In the Windows build the zip is made from, which builds
    # the tests too, these two stay warnings in the test executables: the program's own sources
    # keep them as errors.
    if(CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
       AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
      target_compile_options(${target} PRIVATE -Wno-error=array-bounds
                                               -Wno-error=stringop-overflow)
    endif()
    # Qt's targets compile with flags of their own (-fPIC), with which the header would not load.
    if(IAPFLASH_PCH AND NOT libs MATCHES "Qt6::")
      target_precompile_headers(${target} REUSE_FROM ${from})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    iapflash_test_build_speed(${subdir} ${from})
  endforeach()
endfunction()
