// Source files mapped read-only (the Linux build): a hive is read in place, by libhivex too.
#include "evidence/source_file.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

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
    let_file_go();
}

void SourceFile::let_file_go() {
    if (mapping_ != nullptr)
        munmap(mapping_, mapping_size_);
    mapping_ = nullptr;
    mapping_size_ = 0;
    view_ = std::string_view();
    if (descriptor_ >= 0)
        close(descriptor_);
    descriptor_ = -1;
}

void SourceFile::keep_first(std::uint64_t length) {
    if (in_memory_) {
        if (length < copy_.size())
            copy_.resize(static_cast<std::size_t>(length));
        return;
    }
    view_ =
        view_.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(length, view_.size())));
}

void SourceFile::read_ahead() {
    if (in_memory_)
        return;
    // Only a speed-up, as MAP_POPULATE is: ignored where the system lacks it.
#ifdef MADV_POPULATE_READ
    if (!view_.empty() && madvise(mapping_, view_.size(), MADV_POPULATE_READ) == 0)
        return;
#endif
    if (!view_.empty())
        madvise(mapping_, view_.size(), MADV_WILLNEED);
}

std::string &SourceFile::own() {
    if (!in_memory_) {
        copy_.assign(view_);
        in_memory_ = true;
    }
    let_file_go();
    return copy_;
}

void SourceFile::replace(std::string content) {
    copy_ = std::move(content);
    in_memory_ = true;
    let_file_go();
}

bool read_source_file(const std::string &path, SourceFile &file, std::string &error) {
    file.replace(std::string());
    std::uint64_t size = 0;
    bool is_stream = false;
    int fd = open_source_file(path, size, is_stream, error);
    if (fd < 0)
        return false;
    if (is_stream || size == 0) {
        bool read = false;
        try {
            read = read_descriptor(fd, path, size, is_stream, file.copy_, error);
        } catch (const std::bad_alloc &) {
            file.copy_ = std::string();
            error = path + ": not enough memory to read it";
        }
        close(fd);
        return read;
    }
    if (size > std::numeric_limits<std::size_t>::max()) {
        close(fd);
        error = path + ": too large to map";
        return false;
    }
    // Mapped, not read: nothing is read in until used (see read_ahead), so that a huge file is
    // only looked at where its content says there is something.
    void *bytes = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED) {
        error = path + ": cannot be mapped: " + std::strerror(errno);
        close(fd);
        return false;
    }
    note_file_being_read(path);
    file.mapping_ = bytes;
    file.mapping_size_ = static_cast<std::size_t>(size);
    file.descriptor_ = fd;
    file.view_ = std::string_view(static_cast<const char *>(bytes), file.mapping_size_);
    file.in_memory_ = false;
    return true;
}
