// Opening and reading source files and logs, the part every build shares: regular files only, never
// more than they measured when opened.
#include "evidence/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

#ifdef _WIN32
// A child process inherits nothing; files are bytes, never text; sizes beyond 2 GiB are measured.
constexpr int OPEN_FLAGS = O_RDONLY | O_BINARY | O_NOINHERIT;
using FileStatus = struct _stat64;
int file_status(int descriptor, FileStatus &status) {
    return _fstat64(descriptor, &status);
}
int path_status(const std::string &path, FileStatus &status) {
    return _stat64(path.c_str(), &status);
}
#else
// O_NONBLOCK: opening a FIFO without a writer (or a device that waits) returns at once, so that
// the kind of file can be checked before anything is read; nothing is read from such a file.
constexpr int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
using FileStatus = struct stat;
int file_status(int descriptor, FileStatus &status) {
    return fstat(descriptor, &status);
}
int path_status(const std::string &path, FileStatus &status) {
    return stat(path.c_str(), &status);
}
#endif

const char FOLDER[] = ": is a folder, not a file (use --system for a Windows volume)";

// The most read from a stream: more than any hive (4 GiB of hive bins at most) or export taken.
constexpr std::uint64_t STREAM_LIMIT = std::uint64_t(4) << 30;

std::string kind_of_file(const FileStatus &status) {
    if (S_ISCHR(status.st_mode))
        return "a character device";
#ifdef S_ISFIFO
    if (S_ISFIFO(status.st_mode))
        return "a FIFO";
#endif
#ifdef S_ISBLK
    if (S_ISBLK(status.st_mode))
        return "a block device";
#endif
#ifdef S_ISSOCK
    if (S_ISSOCK(status.st_mode))
        return "a socket";
#endif
    return "not a plain file";
}

#ifndef _WIN32
// Whether the open file is the pipe this process has as its standard input.
bool is_standard_input_pipe(const FileStatus &status) {
    FileStatus input;
    return S_ISFIFO(status.st_mode) && file_status(STDIN_FILENO, input) == 0 &&
           input.st_dev == status.st_dev && input.st_ino == status.st_ino;
}
#endif

} // namespace

int open_source_file(const std::string &path, std::uint64_t &size, bool &is_stream,
                     std::string &error) {
    size = 0;
    is_stream = false;
    int descriptor = open(path.c_str(), OPEN_FLAGS);
    if (descriptor < 0) {
        const int saved = errno;
        FileStatus status;
        error = path_status(path, status) == 0 && S_ISDIR(status.st_mode) // Windows opens none
                    ? path + FOLDER
                    : path + ": " + std::strerror(saved);
        return -1;
    }
    FileStatus status;
    if (file_status(descriptor, status) != 0) {
        error = path + ": " + std::strerror(errno);
        close(descriptor);
        return -1;
    }
    if (S_ISREG(status.st_mode)) {
        size = static_cast<std::uint64_t>(status.st_size);
        return descriptor;
    }
#ifndef _WIN32
    if (is_standard_input_pipe(status)) {
        // Read as any pipe is: waiting for the writer.
        int flags = fcntl(descriptor, F_GETFL);
        if (flags != -1 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            is_stream = true;
            return descriptor;
        }
    }
#endif
    close(descriptor);
    if (S_ISDIR(status.st_mode))
        error = path + FOLDER;
    else
        error = path + ": " + kind_of_file(status) + ", not a regular file; clsid-scan reads " +
                "only files";
    return -1;
}

bool read_descriptor(int descriptor, const std::string &path, std::uint64_t size, bool is_stream,
                     std::string &bytes, std::string &error) {
    bytes.clear();
    if (is_stream)
        size = STREAM_LIMIT + 1;
    else if (size > bytes.max_size())
        throw std::bad_alloc(); // more than this build can hold at all
    else
        bytes.resize(static_cast<std::size_t>(size)); // one block, filled in place
    std::size_t done = 0;
    constexpr std::size_t largest_read = std::size_t(1) << 30; // what every system's read takes
    while (done < size) {
        if (is_stream && bytes.size() < done + (std::size_t(1) << 16))
            bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
                std::max<std::uint64_t>(2 * std::uint64_t(bytes.size()), 1 << 16), size)));
        const std::size_t want = std::min<std::size_t>(
            {largest_read, bytes.size() - done, static_cast<std::size_t>(size - done)});
        const auto got = read(descriptor, &bytes[done], static_cast<unsigned>(want));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0)
            break; // the file is shorter than it was: what it holds now is all there is
        done += static_cast<std::size_t>(got);
    }
    if (is_stream && done > STREAM_LIMIT) {
        error = path + ": more than 4 GiB from a stream, more than any hive; give the file itself";
        return false;
    }
    bytes.resize(done);
    return true;
}

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    std::uint64_t size = 0;
    bool is_stream = false;
    int descriptor = open_source_file(path, size, is_stream, error);
    if (descriptor < 0)
        return false;
    bool read = false;
    try {
        read = read_descriptor(descriptor, path, size, is_stream, bytes, error);
    } catch (const std::bad_alloc &) {
        bytes = std::string();
        error = path + ": not enough memory to read it";
    }
    close(descriptor);
    return read;
}
