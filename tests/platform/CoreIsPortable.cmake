cmake_minimum_required(VERSION 3.25)
# The portable core includes no OS header: everything OS-specific lives in src/platform. The
# portable rooms are those so marked in Rooms.cmake, each with every folder below it that is no
# room of its own. A room that holds no file fails the check, so that a move can never leave it
# checking nothing.
include(${CMAKE_CURRENT_LIST_DIR}/SourceRooms.cmake)
set(forbidden "windows\\.h|winbase\\.h|setupapi\\.h|cfgmgr32\\.h|winsock2\\.h|ws2tcpip\\.h|unistd\\.h|termios\\.h|fcntl\\.h|sys/|netinet/|arpa/|linux/|libudev\\.h|poll\\.h|pthread\\.h|syslog\\.h|QtCore|QtWidgets|<Q[A-Z]")

foreach(room IN LISTS portable_rooms)
  foreach(f IN LISTS ${room}_files)
    source_name("${f}" name)
    file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
      if(line MATCHES "${forbidden}")
        list(APPEND bad "${name}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n" bad "${bad}")
  message(FATAL_ERROR "OS headers in the portable core:\n${bad}")
endif()
