# clsid-scan, the Linux console program: the class rules over hives and .reg exports.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)

# Everything but the entry, so that the unit tests and fuzzers link the same code.
add_library(clsidscan_core STATIC
    clsidscan/class_scan.cpp
    clsidscan/classes_merge.cpp
    clsidscan/hive_recovery.cpp
    clsidscan/hive_source.cpp
    clsidscan/marvin32.cpp
    clsidscan/platform_memory.cpp
    clsidscan/reg_export.cpp
    clsidscan/scan_output.cpp
    clsidscan/scan_sources.cpp
    clsidscan/shadow_rule.cpp
    clsidscan/system_scan.cpp)
target_link_libraries(clsidscan_core PUBLIC
    barescan_rule namescan_rule scanframe memory_registry PkgConfig::HIVEX)

add_executable(clsid-scan clsidscan/clsid_scan_main.cpp)
target_link_libraries(clsid-scan PRIVATE clsidscan_core)
find_package(Threads REQUIRED)
target_link_libraries(clsidscan_core PUBLIC Threads::Threads)

# The program end to end: hives made on the fly, the real hives, errors, exit codes, --system.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME clsid_scan_end_to_end
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/clsid_scan_end_to_end.py
            $<TARGET_FILE:clsid-scan> ${CMAKE_BINARY_DIR}/clsid-scan-end-to-end)
