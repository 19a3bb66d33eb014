# umpd-spool and umpd-options end to end, as only the programs show it: exit
# codes, what they print, the printed job (against the golden one), the store
# through the options tool, the abort notice.
#   HOST, OPTIONS  the programs; EMULATOR what runs them when cross-built (Wine)
#   SAMPLE  a PostScript job; GOLDEN the folder of the golden printed jobs
#   TEST_NET  the prefix of the test print servers' addresses; WORK a scratch directory
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# A driver of its own, so the stored options start from the defaults; on
# Linux also a registry of its own (Windows has one registry).
string(RANDOM LENGTH 8 suffix)
set(store --driver "umpd-host-test-${suffix}")
if(NOT EMULATOR)
  list(APPEND store --registry "${WORK}/registry")
endif()

# Runs a program, its input no terminal; sets rc, out (stdout) and err.
macro(run)
  execute_process(COMMAND ${EMULATOR} ${ARGN} INPUT_FILE /dev/null RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
endmacro()

macro(expect_rc want what)
  if(NOT "${rc}" STREQUAL "${want}")
    message(SEND_ERROR "${what}: exit status ${rc}, expected ${want}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
endmacro()

# The printed job is the golden one: the sample with its ticket, in CR LF lines.
function(expect_printed file golden)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${GOLDEN}/${golden}" "${file}" RESULT_VARIABLE differs)
  if(differs)
    message(SEND_ERROR "${file} is not ${golden}")
  endif()
endfunction()

# Job starts ask the reference print servers of the test fixture: one that
# requires nothing, one that requires a user ID and password.
run(${OPTIONS} ${store} set ipAddress=${TEST_NET}20 bInitialConnection=0)
expect_rc(0 "pointing the store at the print server")

# Which spooler functions the library binds. The host chooses winspool.drv's
# (its handles are winspool's) unless UMPD_SPOOLER_DLL is set already; the
# library's default, also for a value it does not know, is the spooler
# router's spoolss.dll. The stand-in plays both DLLs over one spooler; Wine's
# spoolss.dll has only stubs, which end the process at the first call (the
# tests' prefix has no crash debugger to hold it: killed at the time-out, it
# fails).
foreach(choice "spoolss.dll" "kernel32.dll")
  set(ENV{UMPD_SPOOLER_DLL} ${choice})
  run(${HOST} ${store} --document "Test Page" --output "${WORK}/bound.prn" "${SAMPLE}")
  if(NOT EMULATOR)
    expect_rc(0 "UMPD_SPOOLER_DLL=${choice}")
  elseif(NOT rc MATCHES "^[0-9]+$")
    message(SEND_ERROR "UMPD_SPOOLER_DLL=${choice} under Wine: the process did not end by itself (${rc}):\n${err}")
  elseif(rc EQUAL 0 OR NOT err MATCHES "spoolss\\.dll\\.GetPrinterDriverW")
    message(SEND_ERROR "UMPD_SPOOLER_DLL=${choice} under Wine: expected the spoolss.dll stub to stop the job (${rc}):\n${err}")
  endif()
endforeach()
unset(ENV{UMPD_SPOOLER_DLL})

# A job in chunks of 100 bytes: the ticket, one trace line per hook call on
# standard output, the host's own line on standard error.
run(${HOST} ${store} --chunk 100 --output "${WORK}/default.prn" "${SAMPLE}")
expect_rc(0 "a job")
expect_printed("${WORK}/default.prn" host_default.ps)
file(SIZE "${SAMPLE}" size)
math(EXPR calls "(${size} + 99) / 100")
set(x "[0-9a-f]+")
string(CONCAT trace "^DrvSplStartDoc called hPrinter ${x} JobId [0-9]+ returning handle ${x}\r?\n"
  "(DrvSplWritePrinter call #[0-9]+ hDriver ${x} pBuf ${x} cbBuf [0-9]+ pcWritten ${x}\r?\n)+"
  "DrvSplEndDoc called hDriver ${x} Status 1 cWritePrinter ${calls} cStartPage 0 cEndpage 0\r?\n"
  "DrvSplClose called hDriver ${x} Status 3\r?\n$")
if(NOT out MATCHES "${trace}" OR NOT err MATCHES "umpd-spool: printed ")
  message(SEND_ERROR "a job of ${calls} chunks: what the host printed:\n${out}\nstderr:\n${err}")
endif()

# Aborting shows a message box, which the scripted user acknowledges and
# reports (it needs no answer line); the job is not ended.
file(WRITE "${WORK}/answers.txt" "# the abort notice needs no answer line\n\n")
run(${HOST} ${store} --answers "${WORK}/answers.txt" --abort --chunk 100 --output "${WORK}/aborted.prn" "${SAMPLE}")
expect_rc(4 "an aborted job")
if(NOT err MATCHES "message \"Abort\": Printing Aborted\\.\\.\\." OR out MATCHES "DrvSplEndDoc")
  message(SEND_ERROR "an aborted job: no abort notice, or ended:\n${out}\n${err}")
endif()

run(${HOST} ${store} --library "${WORK}/no-such-library" --output "${WORK}/x.prn" "${SAMPLE}")
expect_rc(3 "a library that cannot be loaded")
run(${HOST} ${store} --output "${WORK}/no-such-directory/x.prn" "${SAMPLE}")
expect_rc(5 "a port that cannot be written")

# A server that requires identity: the scripted user gives it (the dialog's
# report masks the password), and the ticket carries it; a cancelled dialog
# refuses the job.
run(${OPTIONS} ${store} set ipAddress=${TEST_NET}22)
run(${HOST} ${store} --answer "Secure Access: 1112=alice, 1113=s3cret, OK" --output "${WORK}/identity.prn" "${SAMPLE}")
expect_rc(0 "a job whose identity the server accepts")
expect_printed("${WORK}/identity.prn" host_identity.ps)
if(NOT err MATCHES "dialog \"Secure Access\": 1112=alice, 1113=\\*\\*\\*, OK" OR "${out}${err}" MATCHES "s3cret")
  message(SEND_ERROR "the dialog's report, or a password in the host's output:\n${out}\n${err}")
endif()
run(${HOST} ${store} --answer "Secure Access: Cancel" --output "${WORK}/cancelled.prn" "${SAMPLE}")
expect_rc(2 "a job whose identity dialog is cancelled")

# Wine's AbortPrinter keeps a refused or aborted job (it reaches the port
# when the printer's handle closes); Windows deletes it, and so does the stand-in.
foreach(file aborted cancelled)
  if(NOT EMULATOR AND EXISTS "${WORK}/${file}.prn")
    message(SEND_ERROR "the ${file} job reached the port")
  endif()
endforeach()

# The store through the options tool: passwords masked, a record out and
# back in.
run(${OPTIONS} ${store} set password=pw securePassword=abc docOwner=tester)
run(${OPTIONS} ${store} export "${WORK}/record.bin")
run(${OPTIONS} ${store} reset)
run(${OPTIONS} ${store} import "${WORK}/record.bin")
expect_rc(0 "import")
run(${OPTIONS} ${store} show)
if(NOT out MATCHES "\ndocOwner=tester\r?\npassword=[*][*][*]\r?\n.*\nsecurePassword=[*][*][*]\r?\n" OR out MATCHES "=pw|=abc")
  message(SEND_ERROR "show after export, reset and import:\n${out}")
endif()

# Refused: malformed commands, --interactive without a terminal (or on
# Windows), unreadable files, a record of the right size without the mark
# 12345 (its first byte changed), values that do not fit; a message on
# standard error only.
file(WRITE "${WORK}/short.bin" "90")
file(COPY_FILE "${WORK}/record.bin" "${WORK}/unmarked.bin")
execute_process(COMMAND sh -c "printf x | dd of='${WORK}/unmarked.bin' bs=1 conv=notrunc 2>/dev/null")
foreach(args "${HOST};--chunk;0;${SAMPLE}" "${HOST};--chunk;x;${SAMPLE}" "${HOST};--bogus;${SAMPLE}" "${HOST};--output"
             "${HOST};${SAMPLE};${SAMPLE}" "${HOST}" "${HOST};${WORK}/no-such-file.ps" "${HOST};--interactive;${SAMPLE}"
             "${OPTIONS};${store};import;${WORK}/short.bin" "${OPTIONS};${store};import;${WORK}/unmarked.bin"
             "${OPTIONS};${store};set;duplex=x" "${OPTIONS};${store};set;nosuch=1" "${OPTIONS};${store};bogus"
             "${OPTIONS};${store};set;docOwner=1234567890123456789012345" "${OPTIONS};${store};set;outputBin=40000")
  run(${args})
  expect_rc(1 "'${args}'")
  if(NOT out STREQUAL "" OR NOT err MATCHES "\n")
    message(SEND_ERROR "'${args}': expected a message on standard error only, got '${out}' and '${err}'")
  endif()
endforeach()

