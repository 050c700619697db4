# Runs one fuzz target for SECONDS on a fresh copy of its seed corpus in WORK and fails on any
# finding. Called by CTest: cmake -DFUZZER=... -DCORPUS=... -DWORK=... -DDICT=... -DMAX_LEN=...
# -DSECONDS=... -P RunFuzzTest.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)
# -timeout turns an input that makes the host hang into a finding; -error_exitcode keeps every
# finding (crash, sanitizer report, leak) a nonzero exit.
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=${MAX_LEN} -timeout=25
    -dict=${DICT} -artifact_prefix=${WORK}/artifacts/ -print_final_stats=1 ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} found a failing input (exit ${result}); see ${WORK}/artifacts")
endif()
file(GLOB findings ${WORK}/artifacts/*)
if(findings)
  message(FATAL_ERROR "${FUZZER} left findings: ${findings}")
endif()
