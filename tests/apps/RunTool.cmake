# Runs the command-line tool once and checks its exit code and output, the way a script would use it.
# -DTOOL=<path> -DARGS=<arguments separated by "@@"> -DEXIT=<code> [-DOUTPUT=<regex on stdout>]
# [-DERROR=<regex on stderr>] [-DABSENT=<regex that stderr must not match>]
string(REPLACE "@@" ";" ARGS "${ARGS}")
execute_process(COMMAND ${TOOL} ${ARGS} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT "${code}" STREQUAL "${EXIT}")
  message(FATAL_ERROR "exit code ${code}, expected ${EXIT}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(DEFINED OUTPUT AND NOT out MATCHES "${OUTPUT}")
  message(FATAL_ERROR "stdout does not match '${OUTPUT}':\n${out}\nstderr:\n${err}")
endif()
if(DEFINED ERROR AND NOT err MATCHES "${ERROR}")
  message(FATAL_ERROR "stderr does not match '${ERROR}':\n${err}")
endif()
if(DEFINED ABSENT AND err MATCHES "${ABSENT}")
  message(FATAL_ERROR "stderr matches '${ABSENT}':\n${err}")
endif()
