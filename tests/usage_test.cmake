# Every program's --help, --version, an unknown option and a missing
# argument: the exit status, standard output and standard error of each,
# compared with golden/usage_PROGRAM.txt (the version as VERSION).
#   SPOOL, OPTIONS, PRINTSERVER, PRALIX  the programs (empty where there is none);
#   EMULATOR what runs them when cross-built (Wine); VERSION; TEST_NET; GOLDEN; WORK
cmake_minimum_required(VERSION 3.25)
file(MAKE_DIRECTORY "${WORK}")

# name|path|arguments before every case|a missing argument. The print server
# is held to the test network, should a case start it serving.
set(programs
  "umpd-spool|${SPOOL}||"
  "umpd-options|${OPTIONS}||export"
  "umpd-printserver|${PRINTSERVER}|--address ${TEST_NET}31 --raw-port 0|--port"
  "pralix|${PRALIX}||job user")

foreach(program ${programs})
  string(REPLACE "|" ";" fields "${program}")
  list(POP_FRONT fields name path before missing)
  if(NOT path)
    continue()
  endif()
  set(transcript "")
  foreach(args --help --version --no-such-option "${missing}")
    separate_arguments(argv UNIX_COMMAND "${before} ${args}")
    execute_process(COMMAND ${EMULATOR} ${path} ${argv}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
    string(REGEX REPLACE "[0-9a-f]+:(fixme|err|warn):[^\n]*\n" "" err "${err}")
    string(APPEND transcript "## ${name} ${args}\nexit ${rc}\n-- standard output\n${out}-- standard error\n${err}")
  endforeach()
  string(REPLACE "\r" "" transcript "${transcript}")
  string(REPLACE "${VERSION}" "VERSION" transcript "${transcript}")
  file(WRITE "${WORK}/usage_${name}.txt" "${transcript}")
  if(DEFINED ENV{UPDATE_GOLDEN})
    file(COPY_FILE "${WORK}/usage_${name}.txt" "${GOLDEN}/usage_${name}.txt")
  endif()
  execute_process(COMMAND diff -u "${GOLDEN}/usage_${name}.txt" "${WORK}/usage_${name}.txt" RESULT_VARIABLE differs
                  OUTPUT_VARIABLE diff)
  if(differs)
    message(SEND_ERROR "${name}: the transcript differs from golden/usage_${name}.txt:\n${diff}")
  endif()
endforeach()
