# Gives the discovered tests of target whose names match regex the labels after it (the folder's
# own among them): gtest_discover_tests gives every test of an executable the same properties and
# cannot pass a list-valued one, so the labels are set by a small script that ctest reads right
# after the discovered tests. Call it after gtest_discover_tests.
#   realtime  a fault case in real time that the virtual-time suites also cover: ./dev test runs
#             it once, in the asan-ubsan build, not again under ThreadSanitizer
function(iapflash_label_tests target regex)
  string(MD5 key "${regex}")
  string(SUBSTRING ${key} 0 8 key)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels_${key}.cmake)
  file(WRITE ${script}
       "foreach(name IN LISTS ${target}_TESTS)\n"
       "  if(name MATCHES [=[${regex}]=])\n"
       "    set_tests_properties(\"\${name}\" PROPERTIES LABELS \"${ARGN}\")\n"
       "  endif()\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
