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
# server's six (three, two beside hostile connections, and the token's holder beside 1,100
# strangers) and its ten of rates, a 10,000-clip log, the log's memory (per clip, and an
# import's peak) and a deck's stop during an fsync stall; the server under load's seven (three
# for the flood, three for sixteen decks, one for late replies); the browser's refresh rate
# where a browser is installed; the capture's fourteen (clips exact in picture and sound, the
# worst offset of sound to picture and a batch's time against its floor at each of two rates,
# clips exact labelled from LTC without calibration at each, frames dropped, CPU and the
# quality check's CPU at 720x576 10-bit with sound; with three pages previewing, clips exact
# and frames dropped, and a preview picture's time to the page); the machine room's five where
# Mosquitto is (the command to the wire, a state change to the hub's stream, the time-read
# rate, the CPU, the messages).
if(NOT (n EQUAL 103 OR n EQUAL 104 OR n EQUAL 108 OR n EQUAL 109))
  message(FATAL_ERROR "results.json holds ${n} figures, expected 103, or 104 with a browser, "
                      "and 5 more with Mosquitto")
endif()
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last})
  string(JSON median GET "${json}" figures ${i} median)
  string(JSON name GET "${json}" figures ${i} name)
  if(median STREQUAL "" OR median MATCHES "nan|inf")
    message(FATAL_ERROR "figure '${name}' has no value")
  endif()
endforeach()
