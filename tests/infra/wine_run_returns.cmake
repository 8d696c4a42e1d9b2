# Runs, through the Wine runner (EMULATOR), a program that starts a process
# which inherits its outputs and outlives it, as Wine's desktop process does
# with the first program that needs a window. The run must end with the
# program: a caller reading the outputs to their end (CTest, execute_process)
# must not wait for what the program left behind.
execute_process(COMMAND ${EMULATOR} ping.exe -n 1 127.0.0.1
                OUTPUT_VARIABLE probe ERROR_QUIET TIMEOUT 60)
if(NOT probe MATCHES "Reply from")
  message(STATUS "ping does not answer here: no process to leave behind")
  return()
endif()
string(TIMESTAMP start "%s")
execute_process(COMMAND ${EMULATOR} cmd.exe /c "start /b ping -n 45 127.0.0.1"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
string(TIMESTAMP end "%s")
math(EXPR seconds "${end} - ${start}")
if(NOT result STREQUAL "0")
  message(FATAL_ERROR "exit code ${result}\nstdout: ${out}\nstderr: ${err}")
endif()
if(seconds GREATER 20)
  message(FATAL_ERROR "the run took ${seconds} s: it waited for the process the program left behind")
endif()
message(STATUS "the run ended with the program after ${seconds} s")
