# files/: the server files of findings, resolved as Windows would find them and examined. The
# resolution is portable; the examination is each build's: inside a mounted volume on Linux
# (hashing with libcrypto), on the running machine in clsid-scan.exe (through the platform's file
# calls, platform_win32.cpp).
set(server_files_portable_sources
    files/server_path.cpp files/name_case.cpp files/pe_headers.cpp files/server_file.cpp)
add_library(server_files STATIC ${server_files_portable_sources})
target_include_directories(server_files PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(server_files PUBLIC memory_registry)
if(WIN32)
    target_sources(server_files PRIVATE files/server_file_live.cpp)
    target_link_libraries(server_files PUBLIC platform_win32_wide)
else()
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    target_sources(server_files PRIVATE files/server_file_posix.cpp files/no_live_environment.cpp)
    target_link_libraries(server_files PRIVATE OpenSSL::Crypto)

    # The running machine's examination over the tests' stand-in of the platform (unit_tests), so
    # that it is tested here and needs nothing but the platform interface.
    add_library(server_files_live STATIC ${server_files_portable_sources}
        files/server_file_live.cpp)
    target_link_libraries(server_files_live PUBLIC platform_stand_in)
endif()
