// Unit tests of reading source files: mapped or read, only regular files and never more than they
// measured, the content always what is held now, and a mapped file cut short under the read.
#include "evidence/source_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string temporary_file(const std::string &name, const std::string &content) {
    std::string path =
        (std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()))).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

TEST(SourceFile, MapsPlainFilesAndReadsEverythingElse) {
    std::string content(100000, 'x');
    content[99999] = 'y';
    std::string path = temporary_file("source-file", content);
    {
        SourceFile file;
        std::string error;
        ASSERT_TRUE(read_source_file(path, file, error)) << error;
        EXPECT_EQ(file.bytes(), content);
        EXPECT_GE(file.descriptor(), 0); // libhivex may read the same file
        EXPECT_EQ(file.own(), content);
        EXPECT_EQ(file.descriptor(), -1);
        EXPECT_EQ(file.bytes(), content);
    }
    SourceFile empty;
    std::string error;
    std::string empty_path = temporary_file("source-file-empty", "");
    ASSERT_TRUE(read_source_file(empty_path, empty, error)) << error;
    EXPECT_TRUE(empty.bytes().empty());
    EXPECT_EQ(empty.descriptor(), -1);

    SourceFile folder;
    EXPECT_FALSE(read_source_file("/tmp", folder, error));
    EXPECT_EQ(error.rfind("/tmp: is a folder", 0), 0u) << error;
    std::remove(path.c_str());
    std::remove(empty_path.c_str());
}

// bytes() is what the object holds now: a copy made by own() and changed after, or a content put
// in by replace(), is what is read, never the mapping or copy it replaced.
TEST(SourceFile, TheContentIsAlwaysWhatIsHeldNow) {
    std::string content(10000, 'm');
    std::string path = temporary_file("source-file-follows", content);
    SourceFile file;
    std::string error;
    ASSERT_TRUE(read_source_file(path, file, error)) << error;
    file.keep_first(4096);
    EXPECT_EQ(file.bytes(), content.substr(0, 4096));
    EXPECT_GE(file.descriptor(), 0);
    std::string &copy = file.own();
    EXPECT_EQ(file.descriptor(), -1);
    copy.resize(1 << 20, 'g'); // grows: moved to another block
    EXPECT_EQ(file.bytes().size(), std::size_t(1) << 20);
    EXPECT_EQ(file.bytes()[(1 << 20) - 1], 'g');
    file.replace("replaced");
    EXPECT_EQ(file.bytes(), "replaced");
    file.keep_first(3);
    EXPECT_EQ(file.bytes(), "rep");
    ASSERT_TRUE(read_source_file(path, file, error)) << error; // read again: the file's
    EXPECT_EQ(file.bytes(), content);
    std::remove(path.c_str());
}

// Whether both readers refuse the FIFO at `fifo`, with the line that names it.
bool fifo_refused(const std::string &fifo) {
    const std::string line = fifo + ": a FIFO, not a regular file; clsid-scan reads only files";
    SourceFile file;
    std::string bytes, error;
    if (read_source_file(fifo, file, error) || error != line)
        return false;
    return !read_whole_file(fifo, bytes, error) && error == line;
}

// A FIFO, a device or a socket among the evidence is refused at once with one line naming it,
// whether or not something writes to it: nothing is read from it, nothing waits on it.
TEST(SourceFileDeathTest, OnlyRegularFilesAreRead) {
    std::string folder = temporary_file("source-file-kinds", "");
    std::remove(folder.c_str());
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string fifo = folder + "/UsrClass.dat.LOG1", zero = folder + "/zero",
                      random = folder + "/random";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    ASSERT_EQ(symlink("/dev/urandom", random.c_str()), 0);
    const std::string refused = ", not a regular file; clsid-scan reads only files";
    for (bool with_writer : {false, true}) {
        SCOPED_TRACE(with_writer ? "a FIFO with a writer" : "a FIFO without one");
        // A writer that never writes nor closes: a read would wait for ever.
        int writer = with_writer ? open(fifo.c_str(), O_RDWR | O_NONBLOCK) : -1;
        // A wait ends the child (SIGALRM), failing the test, instead of hanging it.
        EXPECT_EXIT((alarm(10), std::_Exit(fifo_refused(fifo) ? 0 : 3)), testing::ExitedWithCode(0),
                    "");
        if (writer >= 0)
            close(writer);
    }
    for (const std::string &device : {zero, random}) {
        SourceFile file;
        std::string bytes, error;
        EXPECT_FALSE(read_source_file(device, file, error));
        EXPECT_EQ(error, device + ": a character device" + refused);
        EXPECT_FALSE(read_whole_file(device, bytes, error));
        EXPECT_EQ(error, device + ": a character device" + refused);
        EXPECT_TRUE(bytes.empty());
    }
    std::remove(fifo.c_str());
    std::remove(zero.c_str());
    std::remove(random.c_str());
    rmdir(folder.c_str());
}

// The one stream read: this process's own standard input, when it is a pipe.
TEST(SourceFileDeathTest, StandardInputPipeIsReadAsAStream) {
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe(ends) != 0 || dup2(ends[0], STDIN_FILENO) < 0 ||
                write(ends[1], "piped", 5) != 5 || close(ends[1]) != 0)
                std::_Exit(3);
            SourceFile file;
            std::string error;
            bool read = read_source_file("/dev/stdin", file, error);
            std::_Exit(read && file.bytes() == "piped" && file.descriptor() == -1 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}

// Never more than the size measured when the file was opened: a file that grows while it is
// read is read up to that size.
TEST(SourceFile, ReadsNoMoreThanTheSizeMeasured) {
    std::string path = temporary_file("source-file-size", "0123456789");
    int descriptor = open(path.c_str(), O_RDONLY);
    ASSERT_GE(descriptor, 0);
    std::string bytes, error;
    ASSERT_TRUE(read_descriptor(descriptor, path, 4, false, bytes, error)) << error;
    EXPECT_EQ(bytes, "0123");
    ASSERT_TRUE(read_descriptor(descriptor, path, 100, false, bytes, error)) << error;
    EXPECT_EQ(bytes, "456789"); // a file shorter than measured: what it holds
    close(descriptor);
    std::remove(path.c_str());
}

TEST(SourceFileDeathTest, FileCutShortWhileReadEndsWithAnErrorNamingIt) {
    std::string path = temporary_file("source-file-cut", std::string(1 << 20, 'h'));
    EXPECT_EXIT(
        {
            SourceFile file;
            std::string error;
            if (!read_source_file(path, file, error) || truncate(path.c_str(), 0) != 0)
                std::_Exit(3);
            volatile char last = file.bytes()[file.bytes().size() - 1];
            (void)last;
            std::_Exit(0);
        },
        testing::ExitedWithCode(2), path + ": the file was cut short while it was read");
    std::remove(path.c_str());
}

} // namespace
