# Fuzzing build: libFuzzer targets over the scan and the name rule, and their CTest runs.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR WIN32)
    message(FATAL_ERROR "SCAN_FUZZING needs a native clang++ build (libFuzzer)")
endif()

# Every target of this build is instrumented for coverage and checked by ASan and UBSan; only the
# fuzz targets link libFuzzer's main. CMAKE_CXX_FLAGS is read when the build is generated, so
# this reaches the targets defined before this file as well.
string(APPEND CMAKE_CXX_FLAGS
       " -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
       " -fno-omit-frame-pointer")

# The stand-in and its registry are checked by ASan and UBSan but give no coverage feedback:
# their own branches (name comparisons, sorting) would only lead the fuzzer away from the scan,
# and cost a quarter of the time of each run.
target_compile_options(platform_stand_in PRIVATE -fno-sanitize=fuzzer-no-link)
target_compile_options(memory_registry PRIVATE -fno-sanitize=fuzzer-no-link)

add_executable(registry_walk_fuzzer fuzz/registry_walk_fuzzer.cpp)
target_link_libraries(registry_walk_fuzzer PRIVATE
    barescan_rule namescan_rule scanframe platform_stand_in)

add_executable(letter_pair_fuzzer fuzz/letter_pair_fuzzer.cpp)
target_link_libraries(letter_pair_fuzzer PRIVATE namescan_rule)

# clsid-scan's readers of hostile files: .reg exports, and transaction logs replayed into a hive.
add_executable(reg_export_fuzzer fuzz/reg_export_fuzzer.cpp)
target_link_libraries(reg_export_fuzzer PRIVATE clsidscan_core)
add_executable(hive_recovery_fuzzer fuzz/hive_recovery_fuzzer.cpp)
target_link_libraries(hive_recovery_fuzzer PRIVATE clsidscan_core)
add_executable(hive_load_fuzzer fuzz/hive_load_fuzzer.cpp)
target_link_libraries(hive_load_fuzzer PRIVATE clsidscan_core)

# The TreatAs follower over classes made from the input.
add_executable(treatas_fuzzer fuzz/treatas_fuzzer.cpp)
target_link_libraries(treatas_fuzzer PRIVATE clsid_rules)

# Environment expansion and command-line splitting over hostile variables.
add_executable(environment_fuzzer fuzz/environment_fuzzer.cpp)
target_link_libraries(environment_fuzzer PRIVATE server_files)

# Longest input each target is given: room for data beyond 1024 bytes and long names.
set(registry_walk_max_len 8192)
set(letter_pair_max_len 4096)
set(reg_export_max_len 8192)
set(hive_recovery_max_len 8192)
set(hive_load_max_len 16384)
set(treatas_max_len 384)
set(environment_max_len 8192)

foreach(target registry_walk letter_pair reg_export hive_recovery hive_load treatas environment)
    target_link_options(${target}_fuzzer PRIVATE -fsanitize=fuzzer)
    set(run_args
        -DFUZZER=$<TARGET_FILE:${target}_fuzzer>
        -DMAX_LEN=${${target}_max_len}
        -DSEEDS=${CMAKE_SOURCE_DIR}/fuzz/corpus/${target}
        -DREGRESSIONS=${CMAKE_SOURCE_DIR}/fuzz/regressions/${target}
        -DWORK_DIR=${CMAKE_BINARY_DIR}/fuzz-work/${target})
    # A short, fixed run from a scratch copy of the seed corpus; fails on any finding.
    add_test(NAME fuzz_${target}
        COMMAND ${CMAKE_COMMAND} ${run_args} -DMODE=fuzz -DSECONDS=25
                -P ${CMAKE_SOURCE_DIR}/fuzz/run_fuzzer.cmake)
    # Every input that once failed, and every seed, run once.
    add_test(NAME fuzz_${target}_replay
        COMMAND ${CMAKE_COMMAND} ${run_args} -DMODE=replay
                -P ${CMAKE_SOURCE_DIR}/fuzz/run_fuzzer.cmake)
    set_tests_properties(fuzz_${target} fuzz_${target}_replay PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
