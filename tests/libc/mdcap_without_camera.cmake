# mdcap with no ISP node: the capture thread cannot open /dev/video0 and ends
# the process with status 1 and the library's message; the usage text of -h.
# Run with -DEMULATOR=... (may be empty, | between its words) -DTOOL=...
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
if(EXISTS /dev/video0)
  message("skipped: a camera node exists here")
  return()
endif()
execute_process(COMMAND ${EMULATOR} ${TOOL} -n 1 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT rc EQUAL 1 OR NOT err MATCHES "Cannot identify '/dev/video0': 2, ")
  message(FATAL_ERROR "status ${rc}, standard error:\n${err}")
endif()
execute_process(COMMAND ${EMULATOR} ${TOOL} -h RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^Usage: .*mdcap \\[options\\]")
  message(FATAL_ERROR "-h: status ${rc}\n${out}${err}")
endif()
