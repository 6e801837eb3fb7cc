// Source files read into memory (the Windows build, which reads .reg exports only).
#include "evidence/source_file.h"

SourceFile::~SourceFile() = default;

std::string &SourceFile::own() {
    return copy;
}

bool read_source_file(const std::string &path, SourceFile &file, std::string &error) {
    if (!read_whole_file(path, file.copy, error))
        return false;
    file.bytes = file.copy;
    return true;
}
