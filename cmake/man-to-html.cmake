# Script mode: renders the manual page PAGE as HTML into OUTPUT with MANDOC.
# mandoc writes the page's \[uXXXX] characters (the Japanese messages) as
# character references under a UTF-8 charset declaration, so a browser on any
# Windows code page shows them.
execute_process(COMMAND ${MANDOC} -Thtml ${PAGE}
  OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "mandoc -Thtml ${PAGE} failed (${result}): ${errors}")
endif()
file(READ ${OUTPUT}.tmp html)
if(NOT html MATCHES "<meta charset=\"utf-8\"/?>")
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "mandoc wrote no UTF-8 charset declaration into ${OUTPUT}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
