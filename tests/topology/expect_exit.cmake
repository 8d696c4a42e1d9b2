# Runs PROGRAM (through EMULATOR, when set) with --machine DESCRIPTION and
# fails unless it ends with exit code EXPECTED and says why on stderr.
set(command ${PROGRAM} --machine ${DESCRIPTION})
if(EMULATOR)
  set(command ${EMULATOR} ${command})
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "exit code ${result}, expected ${EXPECTED}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT err MATCHES "machine description: ")
  message(FATAL_ERROR "no reason on stderr: ${err}")
endif()
message(STATUS "exit code ${result}: ${err}")
