# cmake -DSOURCE_DIR=... -DBINARY_DIR=... -P BuildWin32.cmake
cmake_minimum_required(VERSION 3.25)
# Configures (once) and builds the 32-bit Windows tarvik.exe with the mingw32
# preset's settings in BINARY_DIR.
if(NOT EXISTS ${BINARY_DIR}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset mingw32 -B ${BINARY_DIR}
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring the 32-bit build in ${BINARY_DIR} failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} --target tarvik RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the 32-bit tarvik.exe in ${BINARY_DIR} failed")
endif()
