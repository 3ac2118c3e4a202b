# Runs the report in its quick pass and checks that it wrote every figure; no timing verdict.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PYTHON} ${REPORT} --quick --build ${BUILD} --out ${OUT}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the benchmark report exited with ${rc}")
endif()
if(NOT EXISTS ${OUT}/results.json)
  message(FATAL_ERROR "no ${OUT}/results.json")
endif()
file(READ ${OUT}/results.json json)
string(JSON n LENGTH "${json}" figures)
# Five CPU figures and the allocation count, three per command unpaced, two per command
# paced, three per command through each of the two adapter timers, the poll percentile and
# the two silent-deck figures (64); the two day-long timecode round trips; the panel
# server's five (three, and two beside hostile connections) and its seven of rates and a
# 10,000-clip log; the server under load's seven (three for the flood, three for sixteen
# decks, one for late replies); the browser's refresh rate where a browser is installed.
if(NOT (n EQUAL 85 OR n EQUAL 86))
  message(FATAL_ERROR "results.json holds ${n} figures, expected 85, or 86 with a browser")
endif()
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last})
  string(JSON median GET "${json}" figures ${i} median)
  string(JSON name GET "${json}" figures ${i} name)
  if(median STREQUAL "" OR median MATCHES "nan|inf")
    message(FATAL_ERROR "figure '${name}' has no value")
  endif()
endforeach()
