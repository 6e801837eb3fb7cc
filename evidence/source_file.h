// A source file's content, mapped where the system allows it and read into memory elsewhere; each
// build links one implementation (source_file_mapped.cpp, source_file_read.cpp).
#pragma once

#include <string>
#include <string_view>

// A source file's content: mapped read-only where the system allows, so that a hive of hundreds
// of megabytes is neither copied nor read twice (libhivex reads the same file through
// `descriptor`), else read into memory. The file must not shrink while it is read.
struct SourceFile {
    std::string_view bytes;
    int descriptor = -1; // open on a file that holds exactly `bytes`, or -1
    std::string copy;    // holds `bytes` when they are not mapped
    void *mapping = nullptr;

    SourceFile() = default;
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;
    ~SourceFile();
    // Makes `copy` hold the content, to be changed or kept, and lets the file go.
    std::string &own();
};

// Reads the file at `path` into `file`. Returns false with `error` naming the file when it
// cannot be read.
bool read_source_file(const std::string &path, SourceFile &file, std::string &error);

// Reads a whole file. Returns false with `error` naming the file when it cannot be read.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);
