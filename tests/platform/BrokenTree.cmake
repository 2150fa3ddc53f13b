cmake_minimum_required(VERSION 3.25)
# Copies src/ to OUT with one defect (DEFECT) and runs the check CHECK on the copy, which must
# catch it:
#   empty-room  src/log holds no file
#   points-up   the log includes the app's station
#   os-header   the link includes an OS header
file(REMOVE_RECURSE ${OUT})
file(COPY ${SRC}/ DESTINATION ${OUT})
if(DEFECT STREQUAL "empty-room")
  file(GLOB files ${OUT}/log/*)
  file(REMOVE ${files})
elseif(DEFECT STREQUAL "points-up")
  file(APPEND ${OUT}/log/log.h "#include \"app/station.h\"\n")
elseif(DEFECT STREQUAL "os-header")
  file(APPEND ${OUT}/link/link.cpp "#include <unistd.h>\n")
else()
  message(FATAL_ERROR "unknown defect ${DEFECT}")
endif()
set(SRC ${OUT})
include(${CHECK})
