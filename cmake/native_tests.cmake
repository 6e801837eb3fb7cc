# Native build: the unit tests over the in-memory stand-in of the platform interface.
find_package(GTest REQUIRED)
enable_testing()

# The stand-in hashes with libcrypto, as the Linux examination of server files does.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_library(platform_stand_in STATIC tests/fake_platform.cpp)
target_link_libraries(platform_stand_in PUBLIC memory_registry OpenSSL::Crypto)

add_executable(unit_tests
    tests/report_text_test.cpp
    tests/class_walk_test.cpp
    tests/scan_main_test.cpp
    tests/list_descriptions.cpp
    tests/bare_server_rule_test.cpp
    tests/letter_pair_score_test.cpp
    tests/random_name_rule_test.cpp
    tests/fault_sweep_test.cpp
    tests/memory_registry_test.cpp
    tests/live_source_test.cpp
    tests/server_file_live_test.cpp)

# The live source reads the stand-in's wide tree, and the live server files its files, so they
# are tested here, over the stand-in.
target_link_libraries(unit_tests PRIVATE barescan_rule namescan_rule scanframe live_source
    server_files_live platform_stand_in memory_registry GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(unit_tests)

# clsid-scan's own code has a test program of its own: it links the in-memory platform that
# the program uses, not the stand-in.
add_executable(clsid_scan_tests
    tests/classes_view_test.cpp
    tests/hive_recovery_test.cpp
    tests/reg_export_test.cpp
    tests/hive_source_test.cpp
    tests/hive_carve_test.cpp
    tests/deleted_scan_test.cpp
    tests/hive_fixture.cpp
    tests/scan_output_test.cpp
    tests/source_file_test.cpp
    tests/server_file_test.cpp
    tests/finding_ids_test.cpp
    tests/stack_test.cpp
    tests/scheduled_tasks_test.cpp)
target_link_libraries(clsid_scan_tests PRIVATE clsidscan_core server_files GTest::gtest_main)
gtest_discover_tests(clsid_scan_tests)

# Measures how well the random-name rule separates made-up words from dictionary words; run by
# hand, see README.
add_executable(measure_name_rule tools/measure_name_rule.cpp)
target_link_libraries(measure_name_rule PRIVATE namescan_rule)
include(cmake/benchmarks.cmake)
