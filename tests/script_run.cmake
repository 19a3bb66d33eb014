# Included by the CMake test scripts: runs (under EMULATOR, Wine, when cross-built) into a transcript, golden files.
cmake_minimum_required(VERSION 3.25)
macro(exec)  # exec(PROGRAM ARGS...): rc, out and err of one run, Wine's own lines left out of err
  execute_process(COMMAND ${EMULATOR} ${ARGN} INPUT_FILE /dev/null RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  string(REGEX REPLACE "[0-9a-f]+:(fixme|err|warn):[^\n]*\n" "" err "${err}")
endmacro()
function(run what)  # run(WHAT PROGRAM ARGS...): one run's exit status, output and error appended to transcript
  exec(${ARGN})
  string(REPLACE "\r" "" text "## ${what}\nexit ${rc}\n${out}-- standard error\n${err}")
  set(transcript "${transcript}${text}" PARENT_SCOPE)
endfunction()
function(expect_golden file name)  # FILE is GOLDEN/NAME (with UPDATE_GOLDEN in the environment, becomes it)
  if(DEFINED ENV{UPDATE_GOLDEN})
    file(COPY_FILE "${file}" "${GOLDEN}/${name}")
  endif()
  execute_process(COMMAND diff -u "${GOLDEN}/${name}" "${file}" RESULT_VARIABLE differs OUTPUT_VARIABLE diff)
  if(differs)
    message(SEND_ERROR "${file} differs from golden/${name}:\n${diff}")
  endif()
endfunction()
