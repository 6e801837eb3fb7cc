# clsid-scan, the console program: the class rules over .reg exports, hives (Linux build) and the
# running system's registry (--live, Windows build). What one build lacks, a stand-in file of its
# own (clsidscan/no_*.cpp) answers with a clear error, chosen here at link time.

# The merge of the sources' classes, alone: the live source and its unit test need it without the
# in-memory platform of the rest.
add_library(classes_merge STATIC clsidscan/classes_merge.cpp)
target_link_libraries(classes_merge PUBLIC memory_registry)

# The live registry reader over the platform interface's wide calls: platform_win32.cpp in
# clsid-scan.exe, the stand-in in the unit tests.
add_library(live_source STATIC clsidscan/live_source.cpp)
target_link_libraries(live_source PUBLIC classes_merge)

# Everything but the entry and the platform-specific sources, so that the unit tests and fuzzers
# link the same code.
set(clsidscan_portable_sources
    clsidscan/class_scan.cpp
    clsidscan/hive_kind.cpp
    clsidscan/hive_recovery.cpp
    clsidscan/marvin32.cpp
    clsidscan/platform_memory.cpp
    clsidscan/reg_export.cpp
    clsidscan/scan_output.cpp
    clsidscan/scan_sources.cpp
    clsidscan/shadow_rule.cpp)

if(WIN32)
    add_library(clsidscan_core STATIC ${clsidscan_portable_sources}
        clsidscan/no_hive_source.cpp
        clsidscan/heap_reserve_none.cpp
        clsidscan/no_system_scan.cpp
        clsidscan/source_file_read.cpp)
    target_link_libraries(clsidscan_core PUBLIC
        classes_merge barescan_rule namescan_rule scanframe memory_registry)

    # A console program with a static runtime, the asInvoker manifest and a version resource.
    set(PROGRAM_NAME clsid-scan)
    set(PROGRAM_DESCRIPTION "Lists suspicious class registrations of the registry")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in clsid-scan.rc @ONLY)
    add_executable(clsid-scan clsidscan/clsid_scan_main.cpp
        ${CMAKE_CURRENT_BINARY_DIR}/clsid-scan.rc)
    target_link_libraries(clsid-scan PRIVATE live_source clsidscan_core)
    target_link_options(clsid-scan PRIVATE -static)
    add_test(NAME clsid-scan_imports
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${MINGW_OBJDUMP} -DPROGRAM=$<TARGET_FILE:clsid-scan>
                -DSUBSYSTEM=console -P ${CMAKE_SOURCE_DIR}/cmake/check_program.cmake)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
        # The name rule's score rounds as in the x86_64 build: no x87 arithmetic here either.
        add_test(NAME clsid-scan_sse_arithmetic
            COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${MINGW_OBJDUMP} -DPROGRAM=$<TARGET_FILE:clsid-scan>
                    -DSYMBOL=__Z17letter_pair_scorePKc
                    -P ${CMAKE_SOURCE_DIR}/cmake/check_sse_arithmetic.cmake)
    endif()
    return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
find_package(Threads REQUIRED)

add_library(clsidscan_core STATIC ${clsidscan_portable_sources}
    clsidscan/heap_reserve_glibc.cpp
    clsidscan/hive_source.cpp
    clsidscan/source_file_mapped.cpp
    clsidscan/system_scan.cpp)
target_link_libraries(clsidscan_core PUBLIC
    classes_merge barescan_rule namescan_rule scanframe memory_registry PkgConfig::HIVEX
    Threads::Threads)

add_executable(clsid-scan clsidscan/clsid_scan_main.cpp clsidscan/no_live_source.cpp)
target_link_libraries(clsid-scan PRIVATE clsidscan_core)

# The program end to end: hives made on the fly, the real hives, errors, exit codes, --system.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME clsid_scan_end_to_end
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/clsid_scan_end_to_end.py
            $<TARGET_FILE:clsid-scan> ${CMAKE_BINARY_DIR}/clsid-scan-end-to-end)
