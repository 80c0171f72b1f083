# Writes OUTPUT, the gzip-compressed copy of INPUT, the way Debian ships
# documentation: best compression, no name or time stamp in the header, so the
# same input always gives the same bytes. With VERSION, a manual page's ".Os"
# line gains the version, which therefore lives in project() alone.
#   cmake -DINPUT=doc/qelttelnet.1 -DOUTPUT=qelttelnet.1.gz [-DVERSION=0.1.0] -P gzip_doc.cmake
file(READ "${INPUT}" text)
if(DEFINED VERSION)
  string(REGEX REPLACE "\n\\.Os ([^\n]*)\n" "\n.Os \\1 ${VERSION}\n" text "${text}")
endif()
get_filename_component(name "${INPUT}" NAME)
set(plain "${OUTPUT}.in")
file(WRITE "${plain}" "${text}")
execute_process(COMMAND gzip -9 -n -c "${plain}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE failed)
file(REMOVE "${plain}")
if(failed)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "gzip_doc.cmake: gzip failed on ${name}: ${failed}")
endif()
