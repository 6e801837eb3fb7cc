// Source files read into memory (the Windows build, which reads .reg exports only).
#include "evidence/source_file.h"

SourceFile::~SourceFile() = default;

void SourceFile::let_file_go() {}

void SourceFile::keep_first(std::uint64_t length) {
    if (length < copy_.size())
        copy_.resize(static_cast<std::size_t>(length));
}

void SourceFile::read_ahead() {}

std::string &SourceFile::own() {
    return copy_;
}

void SourceFile::replace(std::string content) {
    copy_ = std::move(content);
}

bool read_source_file(const std::string &path, SourceFile &file, std::string &error) {
    file.replace(std::string());
    return read_whole_file(path, file.copy_, error);
}
