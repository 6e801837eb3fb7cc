# files/: the server files of findings, resolved as Windows would find them and examined inside a
# mounted volume. The resolution is portable; the examination is the Linux build's (hashing with
# libcrypto), and the Windows build links a stand-in that examines nothing.
add_library(server_files STATIC files/server_path.cpp files/server_file.cpp)
target_include_directories(server_files PUBLIC ${CMAKE_SOURCE_DIR})
if(WIN32)
    target_sources(server_files PRIVATE files/no_server_file.cpp)
else()
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    target_sources(server_files PRIVATE files/server_file_posix.cpp)
    target_link_libraries(server_files PRIVATE OpenSSL::Crypto)
endif()
