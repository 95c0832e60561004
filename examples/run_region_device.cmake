# Runs the region_device example in a fresh folder and checks its exit
# status and what it listed.
# Usage: cmake -DPROGRAM=... -DWORK_DIR=... -P run_region_device.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${PROGRAM}" WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "region_device exited with ${status}")
endif()
set(expected
  "read back: Written through a device of the program's own.\n"
  "C:\\\\\n  DOCS +<dir>\n"
  "C:\\\\DOCS\n  Notes of 2026 <dir>\n  readme.txt +47 bytes\n")
foreach(part IN LISTS expected)
  string(REGEX MATCH "${part}" found "${out}")
  if(found STREQUAL "")
    message(FATAL_ERROR "region_device did not print: ${part}")
  endif()
endforeach()
file(SIZE "${WORK_DIR}/region.img" size)
if(NOT size EQUAL 9437184)
  message(FATAL_ERROR "region.img holds ${size} bytes, not 1 MiB and 8 MiB")
endif()
