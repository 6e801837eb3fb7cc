# Runs a fuzz target for CTest: a fixed-time run on a scratch copy of its seeds, or a replay.
#
#   cmake -DFUZZER=path -DMODE=fuzz|replay -DSEEDS=dir -DREGRESSIONS=dir -DWORK_DIR=dir
#         -DMAX_LEN=bytes [-DSECONDS=n] -P run_fuzzer.cmake
# MODE=fuzz copies SEEDS into WORK_DIR/corpus (the checked-in corpus is never written to) and
# fuzzes for SECONDS with a fixed seed; a failing input is left in WORK_DIR/artifacts. MODE=replay
# runs every file of REGRESSIONS and SEEDS once. Either fails when the target fails.
cmake_minimum_required(VERSION 3.25)

set(common_options -rss_limit_mb=2048 -timeout=10 -max_len=${MAX_LEN})

if(MODE STREQUAL "fuzz")
    file(REMOVE_RECURSE ${WORK_DIR})
    file(MAKE_DIRECTORY ${WORK_DIR}/corpus ${WORK_DIR}/artifacts)
    file(GLOB seeds LIST_DIRECTORIES false ${SEEDS}/*)
    file(COPY ${seeds} DESTINATION ${WORK_DIR}/corpus)
    execute_process(
        COMMAND ${FUZZER} ${common_options} -seed=1 -max_total_time=${SECONDS}
                -print_final_stats=1 -artifact_prefix=${WORK_DIR}/artifacts/ ${WORK_DIR}/corpus
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(GLOB found ${WORK_DIR}/artifacts/*)
        message(FATAL_ERROR "${FUZZER} failed (${status}); failing input: ${found}")
    endif()
elseif(MODE STREQUAL "replay")
    file(GLOB inputs LIST_DIRECTORIES false ${REGRESSIONS}/* ${SEEDS}/*)
    list(FILTER inputs EXCLUDE REGEX "/README[^/]*$")
    if(NOT inputs)
        message(FATAL_ERROR "nothing to replay in ${REGRESSIONS} or ${SEEDS}")
    endif()
    execute_process(COMMAND ${FUZZER} ${common_options} ${inputs} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${FUZZER} failed (${status}) on the last input it ran")
    endif()
else()
    message(FATAL_ERROR "MODE must be fuzz or replay")
endif()
