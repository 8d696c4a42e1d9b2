# Captures MACHINE with PROGRAM (through EMULATOR, when set), replays the
# capture and fails unless the replay prints the same as the captured run,
# with and without --descriptors, and a capture of the replay is the same file.
# The captures go to WORKDIR.
set(run ${PROGRAM})
if(EMULATOR)
  set(run ${EMULATOR} ${PROGRAM})
endif()
file(MAKE_DIRECTORY ${WORKDIR})
foreach(descriptors "" "--descriptors")
  set(first ${WORKDIR}/capture${descriptors}.json)
  set(second ${WORKDIR}/recapture${descriptors}.json)
  execute_process(COMMAND ${run} --machine ${MACHINE} --rows --json ${descriptors} --capture ${first} ${KEEP}
                  RESULT_VARIABLE r1 OUTPUT_VARIABLE shown ERROR_VARIABLE e1)
  execute_process(COMMAND ${run} --machine ${first} --rows --json ${descriptors} --capture ${second} ${KEEP}
                  RESULT_VARIABLE r2 OUTPUT_VARIABLE replayed ERROR_VARIABLE e2)
  if(NOT r1 EQUAL 0 OR NOT r2 EQUAL 0)
    message(FATAL_ERROR "exit codes ${r1} and ${r2}\n${e1}\n${e2}")
  endif()
  if(NOT shown STREQUAL replayed)
    message(FATAL_ERROR "the replay of ${first} shows otherwise than ${MACHINE} ${descriptors}:\n${shown}\n----\n${replayed}")
  endif()
  file(READ ${first} a)
  file(READ ${second} b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "capturing the replay gives another file: ${first} ${second}")
  endif()
  string(LENGTH "${shown}" size)
  message(STATUS "${MACHINE} ${descriptors}: ${size} bytes shown, the same after the replay")
endforeach()
