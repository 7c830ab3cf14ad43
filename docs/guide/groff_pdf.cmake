# groff -t -ms -Tpdf SRC into OUT, through a temporary file so that a failed
# run never leaves a half-written guide; groff's warnings fail the step.
# SHOTS is the file of picture macros (string "shots" in the guide).
execute_process(
  COMMAND ${GROFF} -t -ms -Tpdf -ww -dshots=${SHOTS} ${SRC}
  OUTPUT_FILE ${OUT}.tmp
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "groff failed (${rc}) on ${SRC}:\n${err}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
