// Source files mapped read-only (the Linux build): a hive is read in place, by libhivex too.
#include "evidence/source_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file this thread mapped last, named when it is cut short under the read. A mapped file that
// shrinks makes the next read of a page beyond its new end fault (SIGBUS), in libhivex's reads as
// in ours; that ends the program with an error rather than a crash.
thread_local char file_being_read[4096];

void write_text(const char *text) {
    std::size_t length = 0;
    while (text[length] != '\0')
        length++;
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
}

void on_file_cut_short(int) {
    write_text("clsid-scan: ");
    write_text(file_being_read);
    write_text(": the file was cut short while it was read\n");
    _exit(2);
}

void note_file_being_read(const std::string &path) {
    static const bool handler_installed = [] {
        struct sigaction action {};
        action.sa_handler = on_file_cut_short;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    (void)handler_installed;
    std::size_t length = path.copy(file_being_read, sizeof file_being_read - 1);
    file_being_read[length] = '\0';
}

} // namespace

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
            note_file_being_read(path);
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
