# Tests of the Windows build run under Wine and carry the label wine besides their own, so that
# `ctest -L wine` runs exactly them. gtest_discover_tests cannot pass a list-valued property, so
# the labels are set by a small script that ctest reads right after the discovered tests.
function(iapflash_wine_labels target)
  if(NOT CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(labels ${ARGN} wine)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_wine_labels.cmake)
  file(WRITE ${script}
       "foreach(name IN LISTS ${target}_TESTS)\n"
       "  set_tests_properties(\"\${name}\" PROPERTIES LABELS \"${labels}\")\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
