# cmake -DVERSION=1.2.3 -DSOURCE_DIR=... -DOUTPUT=.../iapflash_version.h -P WriteVersion.cmake
set(text "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND commit)
    set(text "${VERSION} (${commit})")
  endif()
endif()
file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [=[
#pragma once
// Written by cmake/WriteVersion.cmake at build time.
#define IAPFLASH_VERSION "@VERSION@"
#define IAPFLASH_VERSION_TEXT "@text@"
]=])
