# umpd-spool end to end: prints the sample job through the hooks and checks
# the output, the trace lines and the exit codes.
#   HOST      the host program
#   EMULATOR  what runs it when cross-built (Wine), or empty
#   SAMPLE    a PostScript job
#   WORK      a scratch directory
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(fail message)
  message(SEND_ERROR "${message}")
endfunction()

# Runs the host with the given arguments; sets rc, out (stdout) and err.
macro(run_host)
  execute_process(COMMAND ${EMULATOR} ${HOST} ${ARGN}
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

# Printing at several chunk sizes: the output is the job, one trace line per call.
foreach(chunk 1 7 13 4096)
  set(output "${WORK}/out-${chunk}.prn")
  run_host(--chunk ${chunk} --output "${output}" "${SAMPLE}")
  expect_rc(0 "print at chunk ${chunk}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${SAMPLE}" "${output}" RESULT_VARIABLE differ)
  if(differ)
    fail("chunk ${chunk}: the printed output differs from the job")
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

run_host(--document "Test Page" --output "${WORK}/testpage.prn" "${SAMPLE}")
expect_rc(0 "the test page")

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

run_host(--library "${WORK}/no-such-library" --output "${WORK}/x.prn" "${SAMPLE}")
expect_rc(3 "a library that cannot be loaded")

run_host(--output "${WORK}/no-such-directory/x.prn" "${SAMPLE}")
expect_rc(5 "a port that cannot be written")

# Aborting shows a message box: only the stand-in's user answers it unattended.
if(NOT EMULATOR)
  run_host(--abort --chunk 100 --output "${WORK}/aborted.prn" "${SAMPLE}")
  expect_rc(4 "an aborted job")
  if(EXISTS "${WORK}/aborted.prn")
    fail("an aborted job reached the port")
  endif()
  if(NOT err MATCHES "\\[Abort\\] Printing Aborted...")
    fail("the abort notice was not shown: ${err}")
  endif()
  count_lines("${out}" "DrvSplEndDoc" ends)
  if(NOT ends EQUAL 0)
    fail("an aborted job was ended: ${out}")
  endif()
endif()
