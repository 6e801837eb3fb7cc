# clsid-scan, the console program: the class rules over .reg exports, hives (Linux build) and the
# running system's registry (--live, Windows build). What one build lacks, a stand-in file of its
# own (evidence/no_*.cpp, hive/no_hive_source.cpp, clsidscan/no_system_scan.cpp) answers with a clear error, chosen here
# at link time. One library a folder, each linking only the folders below it.

# registry/: the platform interface's registry and heap calls over the in-memory registry. The
# unit tests link the stand-in instead, so this is a library apart from the registry itself.
add_library(platform_memory STATIC registry/platform_memory.cpp)
target_link_libraries(platform_memory PUBLIC memory_registry)

# classes/: each side's classes as its sources hold them, and the merged view.
add_library(classes_merge STATIC classes/classes_merge.cpp classes/deleted_classes.cpp)
target_link_libraries(classes_merge PUBLIC memory_registry)

# evidence/: the live registry reader over the platform interface's wide calls, alone, since the
# unit tests run it over the stand-in: platform_win32.cpp in clsid-scan.exe.
add_library(live_source STATIC evidence/live_source.cpp)
target_link_libraries(live_source PUBLIC classes_merge)

# hive/: everything that knows the hive format: cells, reading, log replay, carving deleted keys.
set(hive_portable_sources
    hive/hive_carve.cpp
    hive/hive_cells.cpp
    hive/hive_kind.cpp
    hive/hive_recovery.cpp
    hive/marvin32.cpp)

# evidence/: the readers of files into a side's classes.
set(evidence_portable_sources
    evidence/class_loaders.cpp
    evidence/reg_export.cpp
    evidence/scan_sources.cpp
    evidence/source_file.cpp)

# rules/: the class rules clsid-scan runs over the merged view. The known hijack targets are data,
# rules/known_classes.tsv, compiled in as text.
file(READ ${CMAKE_SOURCE_DIR}/rules/known_classes.tsv KNOWN_CLASSES_TSV)
configure_file(${CMAKE_SOURCE_DIR}/cmake/known_classes.cpp.in
    ${CMAKE_BINARY_DIR}/known_classes.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/rules/known_classes.tsv)
# The stock machine's servers (tools/make_stock_classes.py) are compiled in the same way.
file(READ ${CMAKE_SOURCE_DIR}/rules/stock_classes.tsv STOCK_CLASSES_TSV)
configure_file(${CMAKE_SOURCE_DIR}/cmake/stock_classes.cpp.in
    ${CMAKE_BINARY_DIR}/stock_classes.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/rules/stock_classes.tsv)
add_library(clsid_rules STATIC rules/class_scan.cpp rules/shadow_rule.cpp rules/hijack_rules.cpp
    rules/severity.cpp rules/deleted_rule.cpp ${CMAKE_BINARY_DIR}/known_classes.cpp
    ${CMAKE_BINARY_DIR}/stock_classes.cpp)
target_link_libraries(clsid_rules PUBLIC
    classes_merge barescan_rule namescan_rule scanframe platform_memory server_files)

# clsid-scan's entry reads its command line with CLI11, a header-only library (libcli11-dev).
# The headers are found on the build host, even in a cross build, and a copy of their CLI folder
# in the build tree is the include folder: so the MinGW compiler sees no other header of the
# host's /usr/include. Only the entry (clsid_scan_entry below) has it.
find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include
    NO_CMAKE_FIND_ROOT_PATH DOC "The folder holding CLI/CLI.hpp (Debian: libcli11-dev)")
if(NOT CLI11_INCLUDE_DIR)
    message(FATAL_ERROR "CLI/CLI.hpp (CLI11) not found: install libcli11-dev "
                        "(tools/install-deps.sh) or set CLI11_INCLUDE_DIR")
endif()
file(COPY ${CLI11_INCLUDE_DIR}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)

# The program's entry: CLI11 and the version, from project() in CMakeLists.txt.
function(clsid_scan_entry target)
    target_include_directories(${target} SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/cli11)
    target_compile_definitions(${target} PRIVATE CLSID_SCAN_VERSION="${PROJECT_VERSION}" ${ARGN})
endfunction()

if(WIN32)
    add_library(hive_format STATIC ${hive_portable_sources} hive/no_hive_source.cpp)
    target_link_libraries(hive_format PUBLIC classes_merge memory_registry)
    add_library(evidence STATIC ${evidence_portable_sources}
        evidence/no_class_loaders_hive.cpp
        evidence/heap_reserve_none.cpp
        evidence/source_file_read.cpp)
    target_link_libraries(evidence PUBLIC hive_format classes_merge memory_registry)

    # clsidscan/: the program's front, everything but its entry, so that the tests link it too.
    # Finding ids are digested with the platform's SHA-256 (CryptoAPI); reading JSON Lines back
    # (--baseline, --stack) is the Linux build's.
    add_library(clsidscan_core STATIC clsidscan/scan_output.cpp clsidscan/finding_files.cpp
        clsidscan/no_system_scan.cpp clsidscan/finding_ids.cpp clsidscan/finding_filter.cpp
        clsidscan/id_digest_platform.cpp clsidscan/no_findings_json.cpp)
    target_link_libraries(clsidscan_core PUBLIC evidence clsid_rules)

    # A console program with a static runtime, the asInvoker manifest and a version resource.
    set(PROGRAM_NAME clsid-scan)
    set(PROGRAM_DESCRIPTION "Lists suspicious class registrations of the registry")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in clsid-scan.rc @ONLY)
    add_executable(clsid-scan clsidscan/clsid_scan_main.cpp
        ${CMAKE_CURRENT_BINARY_DIR}/clsid-scan.rc)
    target_link_libraries(clsid-scan PRIVATE live_source clsidscan_core)
    target_link_options(clsid-scan PRIVATE -static)
    clsid_scan_entry(clsid-scan)
    install(TARGETS clsid-scan RUNTIME DESTINATION ${SCAN_WINDOWS_INSTALL_DIR})
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
# Scheduled task files are XML, read with libxml2 (libxml2-dev).
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
find_package(Threads REQUIRED)

add_library(hive_format STATIC ${hive_portable_sources} hive/hive_source.cpp hive/hive_strings.cpp)
target_link_libraries(hive_format PUBLIC classes_merge memory_registry PkgConfig::HIVEX)
add_library(evidence STATIC ${evidence_portable_sources}
    evidence/heap_reserve_glibc.cpp
    evidence/source_file_mapped.cpp
    evidence/system_folder.cpp
    evidence/class_loaders_hive.cpp
    evidence/scheduled_tasks.cpp)
target_link_libraries(evidence PUBLIC hive_format classes_merge memory_registry PkgConfig::HIVEX
    PkgConfig::LIBXML2)

# Finding ids are digested with libcrypto's SHA-256; JSON Lines are read back (--baseline,
# --stack) with simdjson (libsimdjson-dev).
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(simdjson REQUIRED)
add_library(clsidscan_core STATIC clsidscan/scan_output.cpp clsidscan/finding_files.cpp
    clsidscan/system_scan.cpp clsidscan/finding_ids.cpp clsidscan/finding_filter.cpp
    clsidscan/id_digest_crypto.cpp clsidscan/baseline.cpp clsidscan/findings_json.cpp
    clsidscan/stack.cpp)
target_link_libraries(clsidscan_core PUBLIC evidence clsid_rules Threads::Threads)
target_link_libraries(clsidscan_core PRIVATE OpenSSL::Crypto simdjson::simdjson)

add_executable(clsid-scan clsidscan/clsid_scan_main.cpp evidence/no_live_source.cpp)
target_link_libraries(clsid-scan PRIVATE clsidscan_core)
clsid_scan_entry(clsid-scan CLSID_SCAN_HIVEX_VERSION="${HIVEX_VERSION}")

# The program end to end: hives made on the fly, the real hives, errors, exit codes, --system.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME clsid_scan_end_to_end
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/clsid_scan_end_to_end.py
            $<TARGET_FILE:clsid-scan> ${CMAKE_BINARY_DIR}/clsid-scan-end-to-end)

# Every rule on a machine built from one stock Windows 10 machine's classes: no high finding, at
# most 5 medium. Skipped when ../shared/data/stock-classes/ is not beside the repository.
add_test(NAME stock_machine
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/stock_machine.py
            $<TARGET_FILE:clsid-scan> ${CMAKE_BINARY_DIR}/stock-machine)
set_tests_properties(stock_machine PROPERTIES SKIP_RETURN_CODE 77)
