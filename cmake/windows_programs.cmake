# Windows build: the scanner programs, linked with the Win32 implementation of the platform.
enable_language(RC)
enable_testing()

add_library(platform_win32 STATIC scanframe/platform_win32.cpp)
target_compile_definitions(platform_win32 PRIVATE SCAN_FRAME_PROGRAM_CALLS)
target_include_directories(platform_win32 PUBLIC ${CMAKE_SOURCE_DIR})

# A GUI-subsystem program with a static runtime, an asInvoker manifest and a version resource.
function(add_scanner_program name description)
    set(PROGRAM_NAME ${name})
    set(PROGRAM_DESCRIPTION "${description}")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in ${name}.rc @ONLY)
    add_executable(${name} WIN32 ${ARGN} ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
    target_link_libraries(${name} PRIVATE scanframe platform_win32)
    target_link_options(${name} PRIVATE -static)
    add_test(NAME ${name}_imports
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${MINGW_OBJDUMP} -DPROGRAM=$<TARGET_FILE:${name}>
                -P ${CMAKE_SOURCE_DIR}/cmake/check_program.cmake)
endfunction()

add_scanner_program(clsid-bare-scan "Lists bare in-process server registrations"
    barescan/bare_scan_main.cpp)
target_link_libraries(clsid-bare-scan PRIVATE barescan_rule)

add_scanner_program(clsid-name-scan "Lists classes with made-up-looking names"
    namescan/name_scan_main.cpp)
target_link_libraries(clsid-name-scan PRIVATE namescan_rule)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    # The score must round as the x86_64 build does: no x87 arithmetic in the 32-bit program.
    add_test(NAME clsid-name-scan_sse_arithmetic
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${MINGW_OBJDUMP} -DPROGRAM=$<TARGET_FILE:clsid-name-scan>
                -DSYMBOL=__Z17letter_pair_scorePKc
                -P ${CMAKE_SOURCE_DIR}/cmake/check_sse_arithmetic.cmake)
endif()

# `cmake --install` puts the programs (clsid-scan.exe too, see clsid_scan.cmake) where a Linux
# install of clsid-scan keeps them, so that both builds can install into one prefix: the x86_64
# ones in share/clsid-scan/windows, the i686 ones in share/clsid-scan/windows-x86.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    set(SCAN_WINDOWS_INSTALL_DIR share/clsid-scan/windows-x86)
else()
    set(SCAN_WINDOWS_INSTALL_DIR share/clsid-scan/windows)
endif()
install(TARGETS clsid-bare-scan clsid-name-scan RUNTIME DESTINATION ${SCAN_WINDOWS_INSTALL_DIR})

# A test-only program on the frame whose class rule lists every class's description.
add_scanner_program(frame-probe "Frame probe (test only)" tests/wine/frame_probe.cpp
    tests/list_descriptions.cpp)

if(SCAN_WINE_TESTS AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    # Starts a program, reads and answers its message box, reads the clipboard; stores raw values.
    add_executable(rig-helper tests/wine/rig_helper.cpp)
    target_compile_options(rig-helper PRIVATE -municode)
    target_link_options(rig-helper PRIVATE -municode -static)
    # The native clsid-scan, built by the native preset, must print the very bytes the programs
    # copy to the clipboard.
    set(CLSID_SCAN_NATIVE "${CMAKE_SOURCE_DIR}/build/native/clsid-scan" CACHE FILEPATH
        "The native clsid-scan that the Wine rig compares with the programs")
    add_test(NAME wine_end_to_end
        COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/wine/run_wine_tests.py
                ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/wine-tests
                --helper $<TARGET_FILE:rig-helper> --clsid-scan ${CLSID_SCAN_NATIVE})
    set_tests_properties(wine_end_to_end PROPERTIES TIMEOUT 900)
    # Every rule over a clean machine made from a fresh prefix (kept in wine-noise between runs).
    add_test(NAME wine_noise
        COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/wine_noise.py
                ${CMAKE_BINARY_DIR}/wine-noise --clsid-scan ${CLSID_SCAN_NATIVE})
    set_tests_properties(wine_noise PROPERTIES TIMEOUT 900)
endif()
