// Unit tests of reading source files: mapped or read, and a mapped file cut short under the read.
#include "evidence/source_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
        EXPECT_EQ(file.bytes, content);
        EXPECT_GE(file.descriptor, 0); // libhivex may read the same file
        EXPECT_EQ(file.own(), content);
        EXPECT_EQ(file.descriptor, -1);
        EXPECT_EQ(file.bytes, content);
    }
    SourceFile empty;
    std::string error;
    std::string empty_path = temporary_file("source-file-empty", "");
    ASSERT_TRUE(read_source_file(empty_path, empty, error)) << error;
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_EQ(empty.descriptor, -1);

    SourceFile folder;
    EXPECT_FALSE(read_source_file("/tmp", folder, error));
    EXPECT_EQ(error.rfind("/tmp: is a folder", 0), 0u) << error;
    std::remove(path.c_str());
    std::remove(empty_path.c_str());
}

TEST(SourceFileDeathTest, FileCutShortWhileReadEndsWithAnErrorNamingIt) {
    std::string path = temporary_file("source-file-cut", std::string(1 << 20, 'h'));
    EXPECT_EXIT(
        {
            SourceFile file;
            std::string error;
            if (!read_source_file(path, file, error) || truncate(path.c_str(), 0) != 0)
                std::_Exit(3);
            volatile char last = file.bytes[file.bytes.size() - 1];
            (void)last;
            std::_Exit(0);
        },
        testing::ExitedWithCode(2), path + ": the file was cut short while it was read");
    std::remove(path.c_str());
}

} // namespace
