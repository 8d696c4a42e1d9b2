# Takes the browser's screenshots at 96 and at 144 DPI, each inside Wine's own
# desktop window so that title bars are drawn, and keeps them in ARTIFACTS.
#   cmake -DWINE=<loader> -DSHOTS=<quorvex_shots.exe> -DARTIFACTS=<dir> -P run_shots.cmake
# Needs DISPLAY and WINEPREFIX (the test command sets both). The prefix's
# LogPixels is set for each run and removed afterwards; the test runs alone.
foreach(var WINE SHOTS ARTIFACTS)
  if(NOT ${var})
    message(FATAL_ERROR "run_shots.cmake: ${var} is not set")
  endif()
endforeach()
file(MAKE_DIRECTORY ${ARTIFACTS})
execute_process(COMMAND ${WINE} winepath -w ${ARTIFACTS} OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR out STREQUAL "")
  message(FATAL_ERROR "winepath failed for ${ARTIFACTS}")
endif()

set(key "HKCU\\Control Panel\\Desktop")
set(shots main device terminal popup install save about)
set(failed)
foreach(dpi 96 144)
  # A run that takes none must not pass on the pictures of an earlier run.
  foreach(shot ${shots})
    file(REMOVE ${ARTIFACTS}/${shot}-${dpi}.png)
  endforeach()
  execute_process(COMMAND ${WINE} reg add ${key} /v LogPixels /t REG_DWORD /d ${dpi} /f
                  OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${WINE} explorer /desktop=quorvexshots${dpi},1024x768 ${SHOTS} ${out} ${dpi}
                  RESULT_VARIABLE rc TIMEOUT 120)
  foreach(shot ${shots})
    if(NOT EXISTS ${ARTIFACTS}/${shot}-${dpi}.png)
      list(APPEND failed ${shot}-${dpi}.png)
    endif()
  endforeach()
endforeach()
execute_process(COMMAND ${WINE} reg delete ${key} /v LogPixels /f OUTPUT_QUIET ERROR_QUIET)
if(failed)
  message(FATAL_ERROR "screenshots missing: ${failed}")
endif()
message(STATUS "screenshots in ${ARTIFACTS}")
