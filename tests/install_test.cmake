# cmake --install into a DESTDIR: the backend in lib/cups/backend (mode 0755,
# alone there), the hook library and the stand-in in lib/pralix, the PPD in
# share/ppd/pralix; and the installed backend finds what it loads.
#   BUILD     the build tree
#   WORK      a scratch directory
#   UNREACHABLE  an address of the test network where nobody listens
file(REMOVE_RECURSE "${WORK}")
set(root "${WORK}/root")
set(ENV{DESTDIR} "${root}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix /usr RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

# Path|mode
set(files
  "usr/lib/cups/backend/pralix|755"
  "usr/lib/pralix/umpd.so|644"
  "usr/lib/pralix/libwin32standin.so|644"
  "usr/share/ppd/pralix/pralix.ppd|644")
foreach(entry ${files})
  string(REPLACE "|" ";" fields "${entry}")
  list(POP_FRONT fields path mode)
  execute_process(COMMAND stat -c %a "${root}/${path}" OUTPUT_VARIABLE got OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  if(NOT got STREQUAL mode)
    message(SEND_ERROR "${path}: mode '${got}', expected ${mode}")
  endif()
endforeach()
file(GLOB backends RELATIVE "${root}/usr/lib/cups/backend" "${root}/usr/lib/cups/backend/*")
if(NOT backends STREQUAL "pralix")
  message(SEND_ERROR "the backend folder holds more than the backend: ${backends}")
endif()

set(backend "${root}/usr/lib/cups/backend/pralix")
execute_process(COMMAND "${backend}" OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "network pralix \"Unknown\" \"Pralix print server (secure access)\"\n")
  message(SEND_ERROR "discovery: status ${rc}, output: ${out}")
endif()
# A job to a server nobody runs: the library is loaded and its message shown.
execute_process(COMMAND ${CMAKE_COMMAND} -E env "DEVICE_URI=pralix://${UNREACHABLE}" "TMPDIR=${WORK}"
                        "${backend}" 1 user title 1 "" "${CMAKE_CURRENT_LIST_FILE}"
                ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 6 OR NOT err MATCHES "ERROR: A connection could not be established with the Server")
  message(SEND_ERROR "installed backend: status ${rc}, stderr:\n${err}")
endif()
file(REMOVE_RECURSE "${WORK}")
