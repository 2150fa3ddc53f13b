cmake_minimum_required(VERSION 3.25)
# Each room of src/ includes only itself and the rooms below it (the table in Rooms.cmake), so
# the layers point one way: the log at the bottom, the front ends on top. Includes count however
# they are written: "room/x.h", <room/x.h>, "../room/x.h", or a name beside the file; an include
# that leaves src/ fails. A room that holds no file fails the check too, so that a move can never
# leave it checking nothing; so does a source file in a folder of no room.
include(${CMAKE_CURRENT_LIST_DIR}/SourceRooms.cmake)

foreach(room IN LISTS rooms)
  foreach(f IN LISTS ${room}_files)
    source_name("${f}" name)
    source_includes("${f}" includes)
    foreach(item IN LISTS includes)
      string(REGEX MATCH "^(.*)\\|([^|]*)$" _ "${item}")
      set(line "${CMAKE_MATCH_1}")
      set(used "${CMAKE_MATCH_2}")
      if(used STREQUAL "outside")
        list(APPEND bad "${name}: ${line} (leaves src/)")
      elseif(NOT used STREQUAL "-" AND NOT used IN_LIST ${room}_uses)
        list(APPEND bad "${name}: ${line} (${room} may use: ${${room}_uses})")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n" bad "${bad}")
  message(FATAL_ERROR "Includes that point up or across:\n${bad}")
endif()
