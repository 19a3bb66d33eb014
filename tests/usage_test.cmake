# Every program's command line at its edges: --help and --version answer on
# standard output with status 0 and nothing on standard error; an unknown
# option or a missing argument prints the usage on standard error, nothing on
# standard output, with another status.
#   SPOOL, OPTIONS, PRINTSERVER, PRALIX  the programs (empty where there is none);
#   EMULATOR what runs them when cross-built (Wine); VERSION; TEST_NET
cmake_minimum_required(VERSION 3.25)

# Programs: name|path|arguments before every case|a missing argument. The
# print server is held to the test network, should a case start it serving.
set(programs
  "umpd-spool|${SPOOL}||"
  "umpd-options|${OPTIONS}||export"
  "umpd-printserver|${PRINTSERVER}|--address ${TEST_NET}31 --raw-port 0|--port"
  "pralix|${PRALIX}||job user")

# Cases: arguments|status (0, or "fails")|standard output|standard error, as
# regular expressions; NAME stands for the program, MISSING for its missing
# argument. Under Wine a line may end with CR LF.
string(REPLACE "." "[.]" version "${VERSION}")
set(cases
  "--help|0|^usage: NAME .*\n$|^$"
  "--version|0|^NAME ${version}\r?\n$|^$"
  "--no-such-option|fails|^$|usage: NAME "
  "MISSING|fails|^$|usage: NAME ")

foreach(program ${programs})
  string(REPLACE "|" ";" fields "${program}")
  list(POP_FRONT fields name path before missing)
  if(NOT path)
    continue()
  endif()
  foreach(case ${cases})
    string(REPLACE "NAME" "${name}" case "${case}")
    string(REPLACE "MISSING" "${missing}" case "${case}")
    string(REPLACE "|" ";" fields "${case}")
    list(POP_FRONT fields args status want_out want_err)
    separate_arguments(args UNIX_COMMAND "${before} ${args}")
    execute_process(COMMAND ${EMULATOR} ${path} ${args}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
    if(NOT ("${rc}" STREQUAL "${status}" OR (status STREQUAL "fails" AND "${rc}" MATCHES "^[1-9][0-9]*$"))
       OR NOT "${out}" MATCHES "${want_out}" OR NOT "${err}" MATCHES "${want_err}")
      list(JOIN args " " args)
      message(SEND_ERROR "${name} ${args}: status ${rc}, expected ${status}\n"
                         "stdout (expected ${want_out}):\n${out}\nstderr (expected ${want_err}):\n${err}")
    endif()
  endforeach()
endforeach()
