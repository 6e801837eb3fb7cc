// A source file's content, mapped where the system allows it and read into memory elsewhere; each
// build links one implementation (source_file_mapped.cpp, source_file_read.cpp), and both open
// their files through open_source_file (source_file.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A source file's content: mapped read-only where the system allows, so that a hive of hundreds
// of megabytes is neither copied nor read twice (libhivex reads the same file through
// `descriptor()`), else read into memory. The file must not shrink while it is read.
//
// bytes() is worked out on each call from what the object holds, so it cannot go stale: once
// own() or replace() has made the content a copy in memory, bytes() is that copy, with every
// change made to it since. A string_view taken from bytes() lasts until the next call of own(),
// replace() or keep_first().
class SourceFile {
  public:
    SourceFile() = default;
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;
    ~SourceFile();

    // The content.
    std::string_view bytes() const { return in_memory_ ? std::string_view(copy_) : view_; }
    // An open descriptor of the file whose first bytes().size() bytes are the content (what
    // follows them, if anything, is not part of it), or -1 once the content is held in memory.
    int descriptor() const { return descriptor_; }
    // Keeps only the first `length` bytes of the content (all of it when `length` is larger).
    void keep_first(std::uint64_t length);
    // Has the system read the content in at once, ahead of use (nothing is read until used
    // otherwise): faults one page at a time cost much more, on virtual machines above all.
    void read_ahead();
    // Makes the content a copy held in memory, to be changed or kept, and lets the file go.
    std::string &own();
    // Makes `content` the content, held in memory, and lets the file go.
    void replace(std::string content);

    // Reads the file at `path` into `file`.
    friend bool read_source_file(const std::string &path, SourceFile &file, std::string &error);

  private:
    void let_file_go();

    std::string_view view_; // of the mapping, while the content is not in memory
    void *mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    int descriptor_ = -1;
    std::string copy_;
    bool in_memory_ = true;
};

// Reads the file at `path` into `file`. Returns false with `error` naming the file when it cannot
// be read, is not a regular file (see open_source_file), or memory runs short.
bool read_source_file(const std::string &path, SourceFile &file, std::string &error);

// Reads a whole file, as open_source_file opens it, up to the size it had when opened. Returns
// false with `error` naming the file when it cannot be read or memory runs short.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);

// Opens `path` to read a source or a log, and returns the descriptor (-1 with `error`, one line
// naming the file, on failure). The open never waits (a FIFO without a writer, a device), and
// only a regular file is accepted: a folder, FIFO, device or socket among the evidence is an
// error, since it could block the scan or never end. The one exception is this process's own
// standard input when it is a pipe (as in `... | clsid-scan /dev/stdin`), read as a stream:
// `is_stream` is then set and `size` is 0. Otherwise `size` is the file's size when opened, the
// most that is read of it.
int open_source_file(const std::string &path, std::uint64_t &size, bool &is_stream,
                     std::string &error);

// Reads at most `size` bytes of `descriptor` into `bytes` from its current place (fewer when the
// file ends sooner), or up to its end when `is_stream`; a stream longer than any hive or export
// clsid-scan takes is an error. False with `error` naming `path` when a read fails.
bool read_descriptor(int descriptor, const std::string &path, std::uint64_t size, bool is_stream,
                     std::string &bytes, std::string &error);
