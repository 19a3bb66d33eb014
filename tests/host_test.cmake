# umpd-spool and umpd-options end to end: each run's exit status and output as golden/host.txt, jobs as golden files.
include(${CMAKE_CURRENT_LIST_DIR}/script_run.cmake)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
# A driver of its own (and on Linux a registry of its own): the defaults.
string(RANDOM LENGTH 8 ALPHABET abcdefghijklmnopqrstuvwxyz0123456789 suffix)
set(store --driver "umpd-host-test-${suffix}")
if(NOT EMULATOR)
  list(APPEND store --registry "${WORK}/registry")
endif()
run("the store pointed at the open server" ${OPTIONS} ${store} set ipAddress=${TEST_NET}20 bInitialConnection=0)

# The spooler DLL the library binds: winspool.drv from the host unless UMPD_SPOOLER_DLL is set; the library's
# default, also for an unknown value, is spoolss.dll, whose Wine stubs end the process at the first call.
foreach(choice "spoolss.dll" "kernel32.dll")
  set(ENV{UMPD_SPOOLER_DLL} ${choice})
  exec(${HOST} ${store} --document "Test Page" --output "${WORK}/bound.prn" "${SAMPLE}")
  if(NOT EMULATOR AND NOT rc EQUAL 0)
    message(SEND_ERROR "UMPD_SPOOLER_DLL=${choice}: exit status ${rc}:\n${err}")
  elseif(EMULATOR AND (NOT rc MATCHES "^[1-9][0-9]*$" OR NOT err MATCHES "spoolss\\.dll\\.GetPrinterDriverW"))
    message(SEND_ERROR "UMPD_SPOOLER_DLL=${choice} under Wine: expected the spoolss.dll stub to stop the job (${rc}):\n${err}")
  endif()
endforeach()
unset(ENV{UMPD_SPOOLER_DLL})

run("a job in chunks of 100 bytes: a trace line per hook call" ${HOST} ${store} --chunk 100 --output "${WORK}/default.prn"
    "${SAMPLE}")
expect_golden("${WORK}/default.prn" host_default.ps)
file(WRITE "${WORK}/answers.txt" "# the abort notice needs no answer line\n\n")
run("aborted: the notice, and no end of the job" ${HOST} ${store} --answers "${WORK}/answers.txt" --abort --chunk 1000
    --output "${WORK}/aborted.prn" "${SAMPLE}")
run("a library that cannot be loaded" ${HOST} ${store} --library "${WORK}/no-such-library" --output "${WORK}/x.prn" "${SAMPLE}")
run("a port that cannot be written" ${HOST} ${store} --output "${WORK}/no-such-directory/x.prn" "${SAMPLE}")

# A server that requires identity: given (the report masks the password), or the dialog cancelled.
run("the store pointed at the identity server" ${OPTIONS} ${store} set ipAddress=${TEST_NET}22)
run("identity given" ${HOST} ${store} --answer "Secure Access: 1112=alice, 1113=s3cret, OK" --output "${WORK}/identity.prn"
    "${SAMPLE}")
expect_golden("${WORK}/identity.prn" host_identity.ps)
run("identity dialog cancelled" ${HOST} ${store} --answer "Secure Access: Cancel" --output "${WORK}/cancelled.prn" "${SAMPLE}")

# Wine's AbortPrinter keeps a refused or aborted job; the stand-in deletes it.
if(NOT EMULATOR AND (EXISTS "${WORK}/aborted.prn" OR EXISTS "${WORK}/cancelled.prn"))
  message(SEND_ERROR "the aborted or the cancelled job reached the port")
endif()

# The store: a record out and back in, passwords masked.
exec(${OPTIONS} ${store} set password=pw securePassword=abc docOwner=tester)
exec(${OPTIONS} ${store} export "${WORK}/record.bin")
exec(${OPTIONS} ${store} reset)
run("a record imported" ${OPTIONS} ${store} import "${WORK}/record.bin")
run("the store shown" ${OPTIONS} ${store} show)

# Refused: malformed commands, --interactive without a terminal, unreadable files, a record not marked, values too big.
file(WRITE "${WORK}/short.bin" "90")
file(COPY_FILE "${WORK}/record.bin" "${WORK}/unmarked.bin")
execute_process(COMMAND sh -c "printf x | dd of='${WORK}/unmarked.bin' bs=1 conv=notrunc 2>/dev/null")
foreach(args "${HOST};--chunk;0;${SAMPLE}" "${HOST};--chunk;x;${SAMPLE}" "${HOST};--bogus;${SAMPLE}" "${HOST};--output"
             "${HOST};${SAMPLE};${SAMPLE}" "${HOST}" "${HOST};${WORK}/no-such-file.ps" "${HOST};--interactive;${SAMPLE}"
             "${OPTIONS};${store};import;${WORK}/short.bin" "${OPTIONS};${store};import;${WORK}/unmarked.bin"
             "${OPTIONS};${store};set;duplex=x" "${OPTIONS};${store};set;nosuch=1" "${OPTIONS};${store};bogus"
             "${OPTIONS};${store};set;docOwner=1234567890123456789012345" "${OPTIONS};${store};set;outputBin=40000")
  list(JOIN args " " what)
  run("refused: ${what}" ${args})
endforeach()

# The reason --interactive is refused, and Win32 error numbers, differ by platform.
string(REGEX REPLACE "(umpd-spool: --interactive)[^\n]*" "\\1 refused" transcript "${transcript}")
string(REGEX REPLACE "\\(error [0-9]+\\)" "(error N)" transcript "${transcript}")
string(REGEX REPLACE "(hPrinter|handle|hDriver|pBuf|pcWritten) [0-9a-fA-F]+" "\\1 X" transcript "${transcript}")
string(REGEX REPLACE "JobId [0-9]+" "JobId N" transcript "${transcript}")
list(JOIN store " " store)
foreach(word store HOST OPTIONS WORK SAMPLE TEST_NET)
  string(REPLACE "${${word}}" "${word}" transcript "${transcript}")
endforeach()
file(WRITE "${WORK}/host.txt" "${transcript}")
expect_golden("${WORK}/host.txt" host.txt)

# Under Wine the store's key is volatile: gone after a registry server restart, never in the prefix's registry files.
if(EMULATOR)
  execute_process(COMMAND sh -c "wineserver -k; wineserver -w; wineserver -p; '${EMULATOR}' wineboot"
                  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 180)
  file(READ "$ENV{WINEPREFIX}/system.reg" system_reg)
  string(TOLOWER "${system_reg}" system_reg)
  string(FIND "${system_reg}" "[system\\\\printers\\\\umpd-host-test-${suffix}]" on_disk)
  exec(${OPTIONS} --driver "umpd-host-test-${suffix}" show)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "\ndocOwner=\n" OR NOT on_disk EQUAL -1)
    message(SEND_ERROR "the store outlived the registry server (${rc}) or is in system.reg (${on_disk}):\n${out}")
  endif()
endif()
