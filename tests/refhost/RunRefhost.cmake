# Runs orvik-host once and checks the result.
#   EXE     the orvik-host program
#   ARGS    its arguments, separated by spaces
#   STDIN   optional file to use as standard input
#   STATUS  expected exit status (default 0)
#   EXPECT  optional file the standard output must equal
#   STDERR  optional regular expression the standard error must match
#   REGENERATE  when set, writes the standard output to EXPECT instead of comparing
separate_arguments(args UNIX_COMMAND "${ARGS}")
set(input)
if(DEFINED STDIN)
  set(input INPUT_FILE "${STDIN}")
endif()
if(NOT DEFINED STATUS)
  set(STATUS 0)
endif()

execute_process(COMMAND "${EXE}" ${args} ${input}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)

if(NOT "${status}" STREQUAL "${STATUS}")
  message(FATAL_ERROR "orvik-host ${ARGS}: exit status ${status}, expected ${STATUS}\nstderr: ${err}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  message(FATAL_ERROR "orvik-host ${ARGS}: stderr does not match '${STDERR}':\n${err}")
endif()
if(DEFINED EXPECT)
  if(REGENERATE)
    file(WRITE "${EXPECT}" "${out}")
    message(STATUS "wrote ${EXPECT}")
  else()
    file(READ "${EXPECT}" want)
    if(NOT out STREQUAL want)
      message(FATAL_ERROR "orvik-host ${ARGS}: output differs from ${EXPECT}\n--- got:\n${out}--- expected:\n${want}")
    endif()
  endif()
endif()
