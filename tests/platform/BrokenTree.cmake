cmake_minimum_required(VERSION 3.25)
# Copies src/ to OUT with one defect (DEFECT) and runs the check CHECK on the copy, which must
# catch it:
#   empty-room        src/log holds no file
#   points-up         the log includes the app's station: "app/station.h"
#   angle-include     the same as <app/station.h>
#   relative-include  the same as "../app/station.h"
#   beside-include    the app includes its Qt window by the name beside it: "qt/main_window.h"
#   across-subrooms   the app includes its Qt window from src/: "app/qt/main_window.h"
#   subroom-points-up a posix backend of the platform includes the link
#   leaves-src        the log includes a test helper: "../../tests/support/temp_folder.h"
#   no-room           a folder of no room holds a source file (src/unlisted/server.cpp)
#   os-header         the link includes an OS header
#   nested-os-header  a folder below the app (no room of its own) includes an OS header
file(REMOVE_RECURSE ${OUT})
file(COPY ${SRC}/ DESTINATION ${OUT})
if(DEFECT STREQUAL "empty-room")
  file(GLOB files ${OUT}/log/*)
  file(REMOVE ${files})
elseif(DEFECT STREQUAL "points-up")
  file(APPEND ${OUT}/log/log.h "#include \"app/station.h\"\n")
elseif(DEFECT STREQUAL "angle-include")
  file(APPEND ${OUT}/log/log.h "#include <app/station.h>\n")
elseif(DEFECT STREQUAL "relative-include")
  file(APPEND ${OUT}/log/log.h "#include \"../app/station.h\"\n")
elseif(DEFECT STREQUAL "beside-include")
  file(APPEND ${OUT}/app/window_logic.h "#include \"qt/main_window.h\"\n")
elseif(DEFECT STREQUAL "across-subrooms")
  file(APPEND ${OUT}/app/window_logic.h "#include \"app/qt/main_window.h\"\n")
elseif(DEFECT STREQUAL "subroom-points-up")
  file(APPEND ${OUT}/platform/posix/file_reader_posix.cpp "#include \"link/link.h\"\n")
elseif(DEFECT STREQUAL "leaves-src")
  file(APPEND ${OUT}/log/log.cpp "#include \"../../tests/support/temp_folder.h\"\n")
elseif(DEFECT STREQUAL "no-room")
  file(WRITE ${OUT}/unlisted/server.cpp "#include <string>\n")
elseif(DEFECT STREQUAL "os-header")
  file(APPEND ${OUT}/link/link.cpp "#include <unistd.h>\n")
elseif(DEFECT STREQUAL "nested-os-header")
  file(WRITE ${OUT}/app/helpers/clock_text.h "#pragma once\n#include <unistd.h>\n")
else()
  message(FATAL_ERROR "unknown defect ${DEFECT}")
endif()
set(SRC ${OUT})
include(${CHECK})
