# Under Wine: the option store's key is volatile. A value stored through
# umpd-options is there until the registry server restarts, and gone after;
# it is never written to the prefix's registry files.
#   EMULATOR  the Wine loader; OPTIONS  umpd-options.exe
string(RANDOM LENGTH 8 suffix)
set(driver "umpd-volatile-test-${suffix}")

macro(run_options)
  execute_process(COMMAND ${EMULATOR} ${OPTIONS} --driver "${driver}" ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
endmacro()

run_options(set docOwner=kept-until-restart)
run_options(show)
if(NOT out MATCHES "\ndocOwner=kept-until-restart\n")
  message(FATAL_ERROR "the stored value is not there before the restart:\n${out}\n${err}")
endif()

# The wineserver holds the registry; volatile keys live only in it. The
# server and the prefix's services are started again, holding no output of
# this script open.
execute_process(COMMAND wineserver -k TIMEOUT 60)
execute_process(COMMAND wineserver -w TIMEOUT 60)
execute_process(COMMAND wineserver -p INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 60)
execute_process(COMMAND ${EMULATOR} wineboot INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 120)
file(READ "$ENV{WINEPREFIX}/system.reg" system_reg)
string(FIND "${system_reg}" "${driver}" on_disk)
run_options(show)
if(NOT rc EQUAL 0 OR NOT out MATCHES "\ndocOwner=\n" OR NOT on_disk EQUAL -1)
  message(FATAL_ERROR "the stored value outlived the registry server (${rc}), or its key is in system.reg (${on_disk}):\n${out}")
endif()
