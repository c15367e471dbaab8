# Runs one fuzzer for ctest: for SECONDS (at most RUNS inputs) over a fresh
# copy of its seeds in WORK, so that what it adds to its corpus, and the
# input of any failure, stays in the build tree.
#   cmake -DFUZZER=<program> -DSEEDS=<dir> -DWORK=<dir> -DSECONDS=<n> -DRUNS=<n> -P run_fuzzer.cmake
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -runs=${RUNS} -max_len=1024 -timeout=10
          -artifact_prefix=${WORK}/ ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the failing input is in ${WORK}")
endif()
