// Source files mapped read-only (the Linux build): a hive is read in place, by libhivex too.
#include "clsidscan/source_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

SourceFile::~SourceFile() {
    if (mapping != nullptr)
        munmap(mapping, bytes.size());
    if (descriptor >= 0)
        close(descriptor);
}

std::string &SourceFile::own() {
    if (mapping != nullptr) {
        copy.assign(bytes);
        munmap(mapping, bytes.size());
        mapping = nullptr;
    }
    if (descriptor >= 0)
        close(descriptor);
    descriptor = -1;
    bytes = copy;
    return copy;
}

bool read_source_file(const std::string &path, SourceFile &file, std::string &error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        auto size = static_cast<std::size_t>(info.st_size);
        void *bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (bytes != MAP_FAILED) {
            file.mapping = bytes;
            file.descriptor = fd;
            file.bytes = std::string_view(static_cast<const char *>(bytes), size);
            return true;
        }
    }
    // Not a plain file that can be mapped (a pipe, a folder, an error): read it as a stream.
    if (fd >= 0)
        close(fd);
    if (!read_whole_file(path, file.copy, error))
        return false;
    file.bytes = file.copy;
    return true;
}
