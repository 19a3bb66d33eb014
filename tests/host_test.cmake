# umpd-spool and umpd-options end to end: prints the sample job through the
# hooks and checks the output with its job ticket, the trace lines, the
# stored options and the exit codes.
#   HOST      the host program
#   OPTIONS   the options tool
#   EMULATOR  what runs it when cross-built (Wine), or empty
#   SAMPLE    a PostScript job
#   TEST_NET  the prefix of the test print servers' loopback addresses
#   WORK      a scratch directory
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(fail message)
  message(SEND_ERROR "${message}")
endfunction()

# A driver of its own, so the stored options start from the defaults; on
# Linux also a registry of its own (Windows has one registry).
string(RANDOM LENGTH 8 suffix)
set(store --driver "umpd-host-test-${suffix}")
if(NOT EMULATOR)
  list(APPEND store --registry "${WORK}/registry")
endif()

# Runs the host with the given arguments; sets rc, out (stdout) and err.
macro(run_host)
  execute_process(COMMAND ${EMULATOR} ${HOST} ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
endmacro()

macro(run_options)
  execute_process(COMMAND ${EMULATOR} ${OPTIONS} ${store} ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
endmacro()

macro(expect_rc want what)
  if(NOT "${rc}" STREQUAL "${want}")
    fail("${what}: exit status ${rc}, expected ${want}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
endmacro()

function(count_lines text pattern result)
  string(REGEX MATCHALL "${pattern}" found "${text}")
  list(LENGTH found n)
  set(${result} ${n} PARENT_SCOPE)
endfunction()

file(SIZE "${SAMPLE}" sample_size)
file(READ "${SAMPLE}" sample)
string(FIND "${sample}" "%%EndComments" tag)
string(SUBSTRING "${sample}" 0 ${tag} header)
string(SUBSTRING "${sample}" ${tag} -1 body)

# Checks that a printed file is the job with one ticket block before its
# first "%%EndComments", every line of it ended by CR LF; sets `block` (the
# block, its CRs left out: file(READ) drops them) and `block_lines`.
function(expect_ticket file what)
  file(READ "${file}" printed)
  file(READ "${file}" hex HEX)
  string(LENGTH "${header}" at)
  string(SUBSTRING "${printed}" 0 ${at} before)
  string(FIND "${printed}" "%%EndComments" end)
  if(NOT before STREQUAL header OR end LESS at)
    fail("${what}: the output does not start with the job's header")
    return()
  endif()
  math(EXPR length "${end} - ${at}")
  string(SUBSTRING "${printed}" ${at} ${length} block)
  string(SUBSTRING "${printed}" ${end} -1 after)
  if(NOT after STREQUAL body)
    fail("${what}: the job after the ticket differs")
  endif()
  count_lines("${block}" "[^\n]*\n" lines)
  count_lines("${block}" "%%PRALIX: [^\n]*\n" comments)
  count_lines("${block}" "statusdict /Pralix_feat_dict known not { currentfile flushfile }if \n" guards)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  count_lines(" ${bytes}" " 0d 0a" crlfs)  # the job itself has no CR
  math(EXPR wanted "${comments} + ${guards}")
  if(NOT lines EQUAL wanted OR NOT crlfs EQUAL lines OR NOT block MATCHES "^(statusdict[^\n]*\n)?%%PRALIX: Spool ")
    fail("${what}: the ticket block is malformed (${lines} lines, ${crlfs} CR LF):\n${block}")
  endif()
  set(block "${block}" PARENT_SCOPE)
  set(block_lines ${lines} PARENT_SCOPE)
endfunction()

# Job starts ask the reference print servers of the test fixture: one that
# requires nothing, one that requires a user ID and password.
set(open_server ${TEST_NET}20)
set(identity_server ${TEST_NET}22)
run_options(set ipAddress=${open_server} bInitialConnection=0)
expect_rc(0 "pointing the store at the print server")

# Which spooler functions the library binds. The host chooses winspool.drv's
# (its handles are winspool's) unless UMPD_SPOOLER_DLL is set already; the
# library's default, also for a value it does not know, is the spooler
# router's spoolss.dll. The stand-in plays both DLLs over one spooler; Wine's
# spoolss.dll has only stubs, which end the process at the first call (the
# tests' prefix has no crash debugger to hold it: killed at the time-out, it
# fails).
foreach(choice "spoolss.dll" "kernel32.dll")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env UMPD_SPOOLER_DLL=${choice} ${EMULATOR} ${HOST} ${store}
                          --document "Test Page" --output "${WORK}/bound.prn" "${SAMPLE}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(EMULATOR)
    if(NOT rc MATCHES "^[0-9]+$")
      fail("UMPD_SPOOLER_DLL=${choice} under Wine: the process did not end by itself (${rc}):\n${err}")
    elseif(rc EQUAL 0 OR NOT err MATCHES "spoolss\\.dll\\.GetPrinterDriverW")
      fail("UMPD_SPOOLER_DLL=${choice} under Wine: expected the spoolss.dll stub to stop the job (${rc}):\n${err}")
    endif()
  else()
    expect_rc(0 "UMPD_SPOOLER_DLL=${choice}")
  endif()
endforeach()

# Printing at several chunk sizes: the job with its ticket, one trace line per call.
foreach(chunk 1 7 13 4096)
  set(output "${WORK}/out-${chunk}.prn")
  run_host(${store} --chunk ${chunk} --output "${output}" "${SAMPLE}")
  expect_rc(0 "print at chunk ${chunk}")
  expect_ticket("${output}" "chunk ${chunk}")
  if(NOT block_lines EQUAL 46)
    fail("chunk ${chunk}: the default options give ${block_lines} lines, not 46:\n${block}")
  endif()
  math(EXPR calls "(${sample_size} + ${chunk} - 1) / ${chunk}")
  count_lines("${out}" "DrvSplWritePrinter call #[0-9]+ hDriver [0-9a-f]+ pBuf [0-9a-f]+ cbBuf [0-9]+ pcWritten [0-9a-f]+\n" writes)
  count_lines("${out}" "DrvSplStartDoc called hPrinter [0-9a-f]+ JobId [0-9]+ returning handle [0-9a-f]+\n" starts)
  count_lines("${out}" "DrvSplEndDoc called hDriver [0-9a-f]+ Status 1 cWritePrinter ${calls} cStartPage 0 cEndpage 0\n" ends)
  count_lines("${out}" "DrvSplClose called hDriver [0-9a-f]+ Status 3\n" closes)
  if(NOT writes EQUAL calls OR NOT starts EQUAL 1 OR NOT ends EQUAL 1 OR NOT closes EQUAL 1)
    fail("chunk ${chunk}: trace lines (${starts} starts, ${writes} of ${calls} writes, ${ends} ends, ${closes} closes):\n${out}")
  endif()
  if(NOT err MATCHES "printed")
    fail("chunk ${chunk}: the host said nothing on standard error: ${err}")
  endif()
endforeach()

# A secure-print password serves one job: guard line and SecurePassword line,
# then both passwords are emptied in the store.
run_options(set securePassword=abc password=pw docOwner=owner)
expect_rc(0 "setting the options")
run_options(show)
if(NOT out MATCHES "\npassword=[*][*][*]\n" OR NOT out MATCHES "\nsecurePassword=[*][*][*]\n" OR out MATCHES "=pw\n|=abc\n")
  fail("show does not mask the stored passwords:\n${out}")
endif()
run_host(${store} --output "${WORK}/secure.prn" "${SAMPLE}")
expect_rc(0 "a job with a secure-print password")
expect_ticket("${WORK}/secure.prn" "a job with a secure-print password")
if(NOT block MATCHES "^statusdict" OR NOT block MATCHES "%%PRALIX: SecurePassword 7B8F91\n$"
   OR NOT block MATCHES "%%PRALIX: DocOwner owner\n" OR NOT block_lines EQUAL 48)
  fail("the secure job's ticket lacks its guard or its password lines:\n${block}")
endif()
run_options(show)
if(NOT out MATCHES "\npassword=\n" OR NOT out MATCHES "\nsecurePassword=\n" OR NOT out MATCHES "\ndocOwner=owner\n")
  fail("the passwords were not emptied after the job:\n${out}")
endif()
run_host(${store} --output "${WORK}/next.prn" "${SAMPLE}")
expect_ticket("${WORK}/next.prn" "the job after it")
if(block MATCHES "statusdict|SecurePassword" OR NOT block_lines EQUAL 46)
  fail("the next job still carries the secure-print password:\n${block}")
endif()

# The test page skips the job start but its ticket comes from the store.
run_options(set docOwner=tester)
run_host(${store} --document "Test Page" --output "${WORK}/testpage.prn" "${SAMPLE}")
expect_rc(0 "the test page")
expect_ticket("${WORK}/testpage.prn" "the test page")
if(NOT block MATCHES "%%PRALIX: DocOwner tester\n")
  fail("the test page's ticket is not the stored one:\n${block}")
endif()

# The options tool: a record out and back in; bad input refused.
run_options(export "${WORK}/record.bin")
expect_rc(0 "export")
file(SIZE "${WORK}/record.bin" record_size)
if(NOT record_size EQUAL 1428)
  fail("an exported record of ${record_size} bytes")
endif()
run_options(reset)
run_options(import "${WORK}/record.bin")
expect_rc(0 "import")
run_options(show)
if(NOT out MATCHES "\ndocOwner=tester\n")
  fail("import did not bring the record back:\n${out}")
endif()
file(WRITE "${WORK}/short.bin" "90")
# A record's size without the mark 12345 (its first byte changed).
file(COPY_FILE "${WORK}/record.bin" "${WORK}/unmarked.bin")
execute_process(COMMAND sh -c "printf x | dd of='${WORK}/unmarked.bin' bs=1 conv=notrunc 2>/dev/null")
foreach(args "import;${WORK}/short.bin" "import;${WORK}/unmarked.bin" "set;duplex=x" "set;nosuch=1" "set;docOwner=1234567890123456789012345"
             "set;outputBin=40000" "bogus")
  run_options(${args})
  expect_rc(1 "options '${args}'")
endforeach()

# Malformed commands and unreadable files.
foreach(args "--chunk;0;${SAMPLE}" "--chunk;x;${SAMPLE}" "--bogus;${SAMPLE}" "--output" "${SAMPLE};${SAMPLE}" ""
             "${WORK}/no-such-file.ps")
  run_host(${args})
  expect_rc(1 "arguments '${args}'")
  count_lines("${err}" "\n" lines)
  if(lines LESS 1 OR NOT out STREQUAL "")
    fail("arguments '${args}': expected a message on standard error only, got stdout '${out}' stderr '${err}'")
  endif()
endforeach()

run_host(${store} --library "${WORK}/no-such-library" --output "${WORK}/x.prn" "${SAMPLE}")
expect_rc(3 "a library that cannot be loaded")

run_host(${store} --output "${WORK}/no-such-directory/x.prn" "${SAMPLE}")
expect_rc(5 "a port that cannot be written")

# Aborting shows a message box, which the scripted user acknowledges and
# reports (it needs no answer line).
file(WRITE "${WORK}/answers.txt" "# the abort notice needs no answer line\n\n")
run_host(${store} --answers "${WORK}/answers.txt" --abort --chunk 100 --output "${WORK}/aborted.prn" "${SAMPLE}")
expect_rc(4 "an aborted job")
# Wine's AbortPrinter keeps the job (it reaches the port when the printer's
# handle closes); Windows deletes it, and so does the stand-in.
if(NOT EMULATOR AND EXISTS "${WORK}/aborted.prn")
  fail("an aborted job reached the port")
endif()
if(NOT err MATCHES "message \"Abort\": Printing Aborted\\.\\.\\.")
  fail("the abort notice was not shown: ${err}")
endif()
count_lines("${out}" "DrvSplEndDoc" ends)
if(NOT ends EQUAL 0)
  fail("an aborted job was ended: ${out}")
endif()

# A server that requires identity: the scripted user gives it, and the ticket
# carries it; a cancelled dialog refuses the job.
run_options(set ipAddress=${identity_server})
run_host(${store} --answer "Secure Access: 1112=alice, 1113=s3cret, OK" --output "${WORK}/identity.prn" "${SAMPLE}")
expect_rc(0 "a job whose identity the server accepts")
expect_ticket("${WORK}/identity.prn" "a job whose identity the server accepts")
if(NOT block MATCHES "%%PRALIX: DocOwner alice\n" OR NOT err MATCHES "dialog \"Secure Access\": 1112=alice, 1113=\\*\\*\\*, OK")
  fail("the identity did not reach the ticket, or the dialog was not told:\n${block}\n${err}")
endif()
if(err MATCHES "s3cret" OR out MATCHES "s3cret")
  fail("a password in the host's output:\n${out}\n${err}")
endif()
run_host(${store} --answer "Secure Access: Cancel" --output "${WORK}/cancelled.prn" "${SAMPLE}")
expect_rc(2 "a job whose identity dialog is cancelled")
if(NOT EMULATOR AND EXISTS "${WORK}/cancelled.prn")
  fail("a refused job reached the port")
endif()
