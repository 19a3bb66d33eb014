# Each built program's --help, --version, an unknown option and a missing argument, as golden/usage_PROGRAM.txt.
include(${CMAKE_CURRENT_LIST_DIR}/script_run.cmake)
# name|path|arguments before every case|a missing argument (the server held to the test network, should it serve).
set(programs
  "umpd-spool|${HOST}||"
  "umpd-options|${OPTIONS}||export"
  "umpd-printserver|${PRINTSERVER}|--address ${TEST_NET}31 --raw-port 0|--port"
  "pralix|${PRALIX}||job user"
  "pralix-printer-app|${PRINTER_APP}||add -d")
list(FILTER programs EXCLUDE REGEX "^[^|]*[|][|]")
foreach(program ${programs})
  string(REPLACE "|" ";" fields "${program}")
  list(POP_FRONT fields name path before missing)
  set(transcript "")
  foreach(args --help --version --no-such-option "${missing}")
    separate_arguments(argv UNIX_COMMAND "${before} ${args}")
    run("${name} ${args}" ${path} ${argv})
  endforeach()
  string(REPLACE "${VERSION}" "VERSION" transcript "${transcript}")
  file(WRITE "${WORK}/usage_${name}.txt" "${transcript}")
  expect_golden("${WORK}/usage_${name}.txt" usage_${name}.txt)
endforeach()
