// The running machine's server files over the stand-in's file calls: this process's environment,
// files hashed once by their index, links never followed, and every failing call reported.
#include "files/server_file.h"
#include "tests/pe_image.h"
#include "tests/stand_in_test.h"

#include <string>
#include <vector>

namespace {

const char kHelloSha256[] = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
constexpr unsigned long kLinkTag = 0xA000000C; // IO_REPARSE_TAG_SYMLINK
constexpr unsigned long kJunctionTag = 0xA0000003;
constexpr unsigned long kCompressedTag = 0x80000017; // IO_REPARSE_TAG_WOF: not a link
constexpr unsigned long kCloudTag = 0x9000001A;

class LiveServerFileTest : public StandInTest {
  protected:
    Environment environment() {
        Environment found;
        std::string error;
        EXPECT_TRUE(live_environment(found, error)) << error;
        return found;
    }
    ServerFile examine(VolumeFiles &volume, const std::string &value,
                       Bitness view = Bitness::Bits64) {
        return examine_server(volume, value, ValueType::ExpandString, ServerKind::InProcess, view,
                              environment())
            .file;
    }
};

TEST_F(LiveServerFileTest, FilesOfThisProcessesEnvironmentHashedOnceByTheirIndex) {
    // A 32-bit process's block (WOW64's ProgramFiles), without the variables of the Windows folder.
    fake::set_environment({u"=C:=C:\\work", u"ProgramFiles=C:\\Program Files (x86)",
                           u"ProgramW6432=C:\\Program Files", u"APPDATA=C:\\Users\\bob\\Roaming"});
    fake::add_file("C:\\Windows\\System32\\good.dll", "hello", 0, 0, 133000000001234567ull);
    fake::add_hard_link("C:\\Windows\\System32\\good.dll", "C:\\Users\\bob\\Roaming\\copy.dll");
    // Headers across the end of the kept head, in a file read in several blocks.
    std::string image = pe_bytes(4090, 0x14c, 0x2102) + std::string(3 << 20, 'x');
    fake::add_file("C:\\Windows\\SysWOW64\\good.dll", image);
    fake::add_file("C:\\Program Files\\App\\app.dll", pe_bytes(0x80, 0x8664, 0x2022));
    VolumeFiles volume("");
    ASSERT_TRUE(volume.ok()) << volume.error();
    EXPECT_EQ(volume.system_folder(), "Windows");

    ServerFile good = examine(volume, "%SystemRoot%\\system32\\GOOD.dll");
    EXPECT_EQ(good.state, FileState::Present) << good.problem;
    EXPECT_EQ(good.windows_path, "C:\\Windows\\system32\\GOOD.dll");
    EXPECT_EQ(good.path, "Windows/system32/GOOD.dll");
    EXPECT_EQ(good.size, 5u);
    EXPECT_EQ(good.sha256, kHelloSha256);
    EXPECT_EQ(good.modified, "2022-06-18T04:26:40.1234567Z");
    EXPECT_FALSE(good.pe);
    EXPECT_EQ(good.location, FileLocation::System);

    ServerFile wow = examine(volume, "C:\\Windows\\System32\\good.dll", Bitness::Bits32);
    EXPECT_EQ(wow.path, "Windows/SysWOW64/good.dll");
    EXPECT_EQ(wow.size, image.size());
    ASSERT_TRUE(wow.pe) << wow.problem;
    EXPECT_EQ(wow.pe->machine, PeMachine::X86);
    EXPECT_TRUE(wow.pe->dll);
    ServerFile app = examine(volume, "%ProgramFiles%\\App\\app.dll");
    EXPECT_EQ(app.path, "Program Files/App/app.dll");
    ASSERT_TRUE(app.pe);
    EXPECT_EQ(app.pe->machine, PeMachine::X64);

    unsigned long reads = fake::call_count(fake::Op::FileRead);
    ServerFile copy = examine(volume, "%APPDATA%\\copy.dll");
    EXPECT_EQ(copy.sha256, kHelloSha256);
    EXPECT_EQ(copy.location, FileLocation::UserWritable);
    examine(volume, "good.dll"); // searched for, in System32 first
    EXPECT_EQ(volume.files_hashed(), 3u);
    EXPECT_EQ(fake::call_count(fake::Op::FileRead), reads);

    for (const fake::FileOpen &open : fake::file_opens()) {
        EXPECT_EQ(open.path.compare(0, 7, "\\\\?\\C:\\"), 0) << open.path;
        EXPECT_EQ(open.reparse, FileReparse::OpenItself) << open.path;
    }
}

TEST_F(LiveServerFileTest, LinksOfflineFilesAndFoldersAreNeverRead) {
    fake::add_folder("C:\\Users\\bob\\folder.dll");
    fake::add_file("C:\\Users\\Public\\evil.dll", "", FILE_ATTR_REPARSE_POINT, kLinkTag);
    fake::add_folder("C:\\Documents and Settings", FILE_ATTR_REPARSE_POINT, kJunctionTag);
    fake::add_file("C:\\Documents and Settings\\bob\\x.dll", "hello");
    fake::add_file("C:\\Users\\bob\\cloud.dll", "hello",
                   FILE_ATTR_REPARSE_POINT | FILE_ATTR_RECALL_ON_DATA_ACCESS, kCloudTag);
    fake::add_file("C:\\Windows\\System32\\compact.dll", "hello", 0, kCompressedTag);
    VolumeFiles volume("");

    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\folder.dll").state, FileState::NotAFile);
    ServerFile link = examine(volume, "C:\\Users\\Public\\evil.dll");
    EXPECT_EQ(link.state, FileState::NotExamined);
    EXPECT_EQ(link.problem, "a link (reparse tag 0xA000000C), not followed on the live machine");
    ServerFile beyond = examine(volume, "C:\\Documents and Settings\\bob\\x.dll");
    EXPECT_EQ(beyond.state, FileState::NotExamined);
    EXPECT_EQ(beyond.problem, "C:\\Documents and Settings: a link or junction on the way (reparse "
                              "tag 0xA0000003), not followed on the live machine");
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\cloud.dll").state, FileState::NotExamined);
    EXPECT_EQ(volume.files_hashed(), 0u);

    ServerFile compact = examine(volume, "C:\\Windows\\System32\\compact.dll");
    EXPECT_EQ(compact.sha256, kHelloSha256) << compact.problem;
    EXPECT_EQ(fake::file_opens().back().reparse, FileReparse::Process); // its filter gives the data

    ServerFile missing = examine(volume, "C:\\Users\\bob\\Nope\\x.dll");
    EXPECT_EQ(missing.state, FileState::Missing);
    EXPECT_EQ(missing.path, "Users/bob/Nope/x.dll");
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\a.txt:x.dll").state, FileState::NotExamined);
    EXPECT_EQ(examine(volume, "nowhere.dll").state, FileState::Missing);
    EXPECT_EQ(examine(volume, "D:\\x.dll").state, FileState::Outside);
    EXPECT_EQ(volume.files_hashed(), 1u);

    VolumeFiles other("d:\\");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.system_folder(), "");
    examine_place(other, {"x.dll"});
    EXPECT_EQ(fake::file_opens().back().path, "\\\\?\\D:\\x.dll");
    EXPECT_FALSE(VolumeFiles("/mnt/evidence").ok());
}

TEST_F(LiveServerFileTest, EveryFailingCallIsReportedAndLeavesNothingOpen) {
    auto examine_once = [] {
        fake::add_file("C:\\Windows\\System32\\good.dll", std::string(5 << 20, 'g'));
        VolumeFiles volume("");
        return examine_server(volume, "C:\\Windows\\System32\\good.dll", ValueType::String,
                              ServerKind::InProcess, Bitness::Bits64, machine_environment())
            .file;
    };
    ServerFile clean = examine_once();
    ASSERT_EQ(clean.state, FileState::Present) << clean.problem;
    unsigned long calls = fake::call_count(fake::Op::Any);
    for (unsigned long nth = 1; nth <= calls; nth++) {
        fake::reset();
        fake::fail_call(fake::Op::Any, nth, false, FILE_ERROR_ACCESS_DENIED);
        fake::Op failed = fake::Op::Any;
        fake::on_call([&](fake::Op op, unsigned long number) {
            if (number == nth)
                failed = op;
        });
        ServerFile file = examine_once();
        fake::on_call(nullptr);
        std::string where = "call " + std::to_string(nth) + " (" + fake::op_name(failed) + ")";
        EXPECT_EQ(fake::problems(), "") << where;
        if (failed == fake::Op::FileClose) {
            EXPECT_EQ(file.sha256, clean.sha256) << where; // what was read is whole
        } else if (failed == fake::Op::WindowsFolderW) {
            EXPECT_EQ(file.state, FileState::NotExamined) << where;
        } else {
            EXPECT_EQ(file.state, FileState::Unreadable) << where;
            EXPECT_NE(file.problem.find("error 5 (access denied)"), std::string::npos)
                << where << ": " << file.problem;
            EXPECT_TRUE(file.sha256.empty()) << where;
        }
    }
}

TEST_F(LiveServerFileTest, FilesThatChangeWhileTheyAreReadAreNeverReadPastTheirSize) {
    fake::add_file("C:\\a.dll", std::string(3 << 20, 'a'));
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::FileRead)
            fake::set_file_content("C:\\a.dll", std::string(4 << 20, 'a'));
    });
    VolumeFiles volume("");
    ServerFile grown = examine_place(volume, {"a.dll"});
    EXPECT_EQ(grown.size, 3u << 20);
    EXPECT_EQ(grown.sha256, "6f850bc94ae6f7de14297c01616c36d712d22864497b28a63b81d776b035e656")
        << "the hash of the first 3 MiB";

    fake::add_file("C:\\b.dll", std::string(3 << 20, 'b'));
    fake::on_call([](fake::Op op, unsigned long) {
        if (op == fake::Op::FileRead)
            fake::set_file_content("C:\\b.dll", "short");
    });
    ServerFile shrunk = examine_place(volume, {"b.dll"});
    fake::on_call(nullptr);
    EXPECT_EQ(shrunk.state, FileState::Unreadable);
    EXPECT_EQ(shrunk.problem, "the file was cut short while it was read");
}

TEST_F(LiveServerFileTest, TheBlocksVariablesWithTheWindowsFolderWhereTheBlockLacksIt) {
    fake::set_windows_folder(u"E:\\WINNT");
    fake::set_environment({u"SystemRoot=C:\\Windows", u"Path=C:\\Tools;%SystemRoot%",
                           u"ProgramFiles=C:\\Program Files", u"PUBLIC=C:\\Users\\Public"});
    Environment found = environment();
    EXPECT_EQ(found.value("SYSTEMROOT"), "C:\\Windows"); // the block's own value stays
    EXPECT_EQ(found.value("windir"), "E:\\WINNT");
    EXPECT_EQ(found.value("SystemDrive"), "E:");
    EXPECT_EQ(found.value("ProgramFiles"), "C:\\Program Files");
    EXPECT_EQ(found.find("=C:"), nullptr);

    fake::fail_call(fake::Op::EnvironmentBlockW, fake::call_count(fake::Op::EnvironmentBlockW) + 1);
    std::string error;
    EXPECT_FALSE(live_environment(found, error));
    EXPECT_EQ(error, "the environment of this process cannot be read");
}

} // namespace
