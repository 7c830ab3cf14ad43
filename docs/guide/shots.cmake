# Takes the guide's pictures with guide_shots under a virtual X display; a
# failure leaves a shots.ms without pictures (the guide says so where each
# one would be) rather than failing the build.
file(MAKE_DIRECTORY ${OUT})
set(ok FALSE)
if(XVFB_RUN AND MAKE_MEDIA)
  execute_process(COMMAND ${MAKE_MEDIA} --quick ${MEDIA} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(rc EQUAL 0)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              ${XVFB_RUN} -a -s "-screen 0 1600x1000x24" ${SHOTS} ${OUT} ${MEDIA}
      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err TIMEOUT 180)
    if(rc EQUAL 0 AND EXISTS ${OUT}/shots.ms)
      set(ok TRUE)
    endif()
  endif()
  if(NOT ok)
    string(REGEX MATCHALL "guide_shots:[^\n]*" said "${err}")
    message(WARNING "the guide's pictures were not taken (${rc}): ${said}")
  endif()
endif()
if(NOT ok)
  file(WRITE ${OUT}/shots.ms
    ".de SHOT\n.QP\n.I \"(The picture of \\\\$2 was not taken in this build.)\"\n.PP\n..\n")
endif()
