// Unit tests of server files: the environment, command lines, Windows paths, WOW64, locations, PE
// headers and time stamps, and the examination of files inside a ROOT built in a temporary folder.
#include "files/name_case.h"
#include "files/server_file.h"
#include "registry/time_text.h"
#include "tests/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Names = std::vector<std::string>;

std::string expanded(const std::string &text, const Environment &environment) {
    return expand_environment(text, environment);
}

TEST(ServerFileEnvironment, MachineDefaultsAndTheThirtyTwoBitView) {
    Environment machine = machine_environment();
    EXPECT_EQ(expanded("%SystemRoot%\\System32\\a.dll", machine), "C:\\Windows\\System32\\a.dll");
    EXPECT_EQ(expanded("%WINDIR%|%systemdrive%|%ProgramData%", machine),
              "C:\\Windows|C:|C:\\ProgramData");
    EXPECT_EQ(expanded("%ProgramFiles%|%CommonProgramFiles%", machine),
              "C:\\Program Files|C:\\Program Files\\Common Files");
    Environment x86 = environment_for_view(machine, Bitness::Bits32);
    EXPECT_EQ(expanded("%ProgramFiles%|%CommonProgramFiles%|%ProgramW6432%", x86),
              "C:\\Program Files (x86)|C:\\Program Files (x86)\\Common Files|C:\\Program Files");
    EXPECT_EQ(expanded("%SystemRoot%", machine_environment("C:\\WINNT")), "C:\\WINNT");
}

TEST(ServerFileEnvironment, UserVariablesFollowTheProfile) {
    Environment alice = machine_environment();
    add_user_environment(alice, "alice");
    EXPECT_EQ(expanded("%APPDATA%|%LOCALAPPDATA%|%TEMP%|%tmp%", alice),
              "C:\\Users\\alice\\AppData\\Roaming|C:\\Users\\alice\\AppData\\Local|"
              "C:\\Users\\alice\\AppData\\Local\\Temp|C:\\Users\\alice\\AppData\\Local\\Temp");
    EXPECT_EQ(expanded("%HOMEDRIVE%%HOMEPATH%|%USERNAME%", alice), "C:\\Users\\alice|alice");

    Environment moved = machine_environment();
    set_variables(moved, {{"PUBLIC", "E:\\Profiles\\Public", false}});
    add_user_environment(moved, "bob");
    EXPECT_EQ(moved.value("USERPROFILE"), "E:\\Profiles\\bob");
    EXPECT_EQ(moved.value("HOMEDRIVE"), "E:");
    add_user_environment(moved, "carol", "C:\\Home\\carol");
    EXPECT_EQ(expanded("%APPDATA%", moved), "C:\\Home\\carol\\AppData\\Roaming");
}

TEST(ServerFileEnvironment, UnknownNamesAndLonePercentSignsStayAsWritten) {
    Environment machine = machine_environment();
    EXPECT_EQ(expanded("%NOPE%\\a.dll", machine), "%NOPE%\\a.dll");
    // An unknown name gives back its opening sign only: the closing one may open a known name.
    EXPECT_EQ(expanded("%NOPE%windir%", machine), "%NOPEC:\\Windows");
    EXPECT_EQ(expanded("100% %% %windir", machine), "100% %% %windir");
    // One pass: a value that itself holds %NAME% is not expanded again.
    machine.set("Twice", "%windir%");
    EXPECT_EQ(expanded("%TWICE%", machine), "%windir%");
}

TEST(ServerFileEnvironment, HiveValuesExpandInTheOrderTheyNeed) {
    Environment machine = machine_environment();
    set_variables(machine, {
                               {"Path", "%ToolBin%;%Path%"},
                               {"ToolBin", "%ToolRoot%\\bin"},
                               {"ToolRoot", "C:\\Tools"},
                               {"Literal", "%windir%", false},
                               {"LoopA", "%LoopB%a"},
                               {"LoopB", "%LoopA%b"},
                           });
    EXPECT_EQ(machine.value("ToolBin"), "C:\\Tools\\bin");
    // The Path it names is the one it replaces.
    EXPECT_EQ(machine.value("path").rfind("C:\\Tools\\bin;C:\\Windows\\system32;", 0), 0u);
    EXPECT_EQ(machine.value("Literal"), "%windir%");
    EXPECT_EQ(machine.value("LoopA"), "%LoopB%a");
    EXPECT_EQ(machine.value("LoopB"), "%LoopB%ab");
}

TEST(ServerFileCommandLine, CandidatesInCreateProcessOrder) {
    EXPECT_EQ(command_line_candidates("c:\\program files\\sub dir\\program name"),
              (Names{"c:\\program.exe", "c:\\program files\\sub.exe",
                     "c:\\program files\\sub dir\\program.exe",
                     "c:\\program files\\sub dir\\program name.exe"}));
    EXPECT_EQ(command_line_candidates("  \"C:\\Program Files\\App\\app.exe\" -Embedding"),
              (Names{"C:\\Program Files\\App\\app.exe"}));
    EXPECT_EQ(command_line_candidates("\"C:\\Program Files\\App\\app"),
              (Names{"C:\\Program Files\\App\\app.exe"}));
    EXPECT_EQ(command_line_candidates("C:\\a.com\tx"), (Names{"C:\\a.com", "C:\\a.com\tx"}));
    EXPECT_EQ(command_line_candidates("C:\\a  b"),
              (Names{"C:\\a.exe", "C:\\a .exe", "C:\\a  b.exe"}));
    EXPECT_EQ(command_line_candidates("tool."), (Names{"tool."}));
    EXPECT_TRUE(command_line_candidates(" \t").empty());
    EXPECT_TRUE(command_line_candidates("\"\" x").empty());
}

TEST(ServerFileCommandLine, LibraryPathsGetDllAndExpandOnlyWhenTheRegistrySaysSo) {
    Environment machine = machine_environment();
    std::vector<ServerCandidate> library =
        server_candidates("%SystemRoot%\\System32\\shell32", ValueType::ExpandString,
                          ServerKind::InProcess, Bitness::Bits64, machine);
    ASSERT_EQ(library.size(), 1u);
    EXPECT_EQ(library[0].text, "C:\\Windows\\System32\\shell32.dll");
    EXPECT_TRUE(library[0].extension_added);
    std::vector<ServerCandidate> plain = server_candidates(
        "%SystemRoot%\\a.dll", ValueType::String, ServerKind::InProcess, Bitness::Bits64, machine);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].text, "%SystemRoot%\\a.dll");
    EXPECT_EQ(plain[0].path.kind, PathKind::Relative);
    EXPECT_TRUE(
        server_candidates("  ", ValueType::String, ServerKind::InProcess, Bitness::Bits64, machine)
            .empty());
}

TEST(ServerFileBounds, ExpansionIsCutAtWindowsLimitHoweverVariablesNameEachOther) {
    // Each level names the one below ten times: uncut, level 7 would hold 40 MB.
    auto chain = [](int levels) {
        std::vector<EnvironmentValue> values = {{"L0", "0123456789", false}};
        for (int level = 1; level <= levels; level++) {
            std::string value;
            for (int i = 0; i < 10; i++)
                value += "%L" + std::to_string(level - 1) + "%";
            values.push_back({"L" + std::to_string(level), value});
        }
        std::reverse(values.begin(), values.end()); // the order of the hive does not matter
        return values;
    };
    for (int levels : {7, 70}) {
        Environment machine = machine_environment();
        std::vector<std::string> cut = set_variables(machine, chain(levels));
        std::size_t total = 0;
        for (int level = 0; level <= levels; level++)
            total += machine.value("L" + std::to_string(level)).size();
        EXPECT_LE(total, (levels + 1) * kMaxExpandedLength) << levels;
        EXPECT_EQ(machine.value("L3").size(), 10000u);
        EXPECT_EQ(machine.value("L5").size(), kMaxExpandedLength);
        EXPECT_EQ(cut.size(), static_cast<std::size_t>(levels - 3)) << levels;
        bool expansion_cut = false;
        EXPECT_EQ(expand_environment("x%L4%", machine, &expansion_cut).size(), kMaxExpandedLength);
        EXPECT_TRUE(expansion_cut);
        expand_environment("%L7%", machine, &expansion_cut); // a cut variable, taken whole
        EXPECT_TRUE(expansion_cut);
        expand_environment("%L3%", machine, &expansion_cut);
        EXPECT_FALSE(expansion_cut);
    }
    // A character is never split: 3-byte characters stop short of the limit.
    Environment machine = machine_environment();
    std::string wide;
    for (std::size_t i = 0; i < kMaxExpandedLength; i++)
        wide += "\xe2\x82\xac";
    machine.set("Wide", wide);
    std::string out = expand_environment("a%Wide%", machine);
    EXPECT_EQ(out.size(), 1 + 3 * (kMaxExpandedLength - 1));
}

TEST(ServerFileBounds, LongChainsOfUserValuesSetInOrderAndPathIsAppended) {
    // 20,000 values, each naming the next: set once each (the old search was cubic).
    std::vector<EnvironmentValue> values;
    const int count = 20000;
    for (int i = 0; i < count; i++)
        values.push_back({"V" + std::to_string(i), "%V" + std::to_string(i + 1) + "%"});
    values.push_back({"V" + std::to_string(count), "end", false});
    values.push_back({"Path", "%V0%;C:\\Tools"});
    Environment alice = machine_environment();
    add_user_environment(alice, "alice");
    EXPECT_TRUE(set_user_variables(alice, values).empty());
    EXPECT_EQ(alice.value("V0"), "end");
    // The user's Path follows the machine's, as Windows joins them.
    EXPECT_EQ(alice.value("Path"), machine_environment().value("Path") + ";end;C:\\Tools");
    std::vector<std::vector<std::string>> folders = alice.search_path();
    ASSERT_FALSE(folders.empty());
    EXPECT_EQ(folders.back(), (Names{"Tools"}));
}

TEST(ServerFileBounds, CommandLinesAndPathsAreTriedAtMostSoOften) {
    for (std::size_t words : {1000u, 10000u}) {
        std::string line = "C:\\Program";
        for (std::size_t i = 0; i < words; i++)
            line += " w" + std::to_string(i);
        bool cut = false;
        std::vector<CommandLinePart> parts = split_command_line(line, &cut);
        EXPECT_TRUE(cut);
        ASSERT_EQ(parts.size(), kMaxCommandLineCandidates) << words;
        EXPECT_EQ(parts[0].program, "C:\\Program");
        EXPECT_EQ(parts[0].program.data(), line.data()); // a view, not a copy
        ServerValueNotes notes;
        std::vector<ServerCandidate> candidates =
            server_candidates(line, ValueType::String, ServerKind::CommandLine, Bitness::Bits64,
                              machine_environment(), &notes);
        EXPECT_EQ(candidates.size(), kMaxCommandLineCandidates);
        EXPECT_TRUE(notes.candidates_cut);

        Environment machine = machine_environment();
        std::string path;
        for (std::size_t i = 0; i < words; i++)
            path += "C:\\d" + std::to_string(i) + ";C:\\D" + std::to_string(i) + ";";
        machine.set("Path", path);
        EXPECT_EQ(machine.search_path().size(), kMaxPathFolders);
        EXPECT_TRUE(machine.search_path_cut());
        EXPECT_EQ(server_search_paths(parse_windows_path("x.dll"), machine, Bitness::Bits64).size(),
                  kMaxPathFolders + 3);
    }
    bool cut = true;
    EXPECT_EQ(command_line_candidates("C:\\a b", &cut).size(), 2u);
    EXPECT_FALSE(cut);
}

TEST(ServerFileCommandLine, QuotedLibraryPathsAndRelativePathsAsWindowsLoadsThem) {
    Environment machine = machine_environment();
    auto first_place = [&](const char *value, ValueType type = ValueType::String) {
        std::vector<ServerCandidate> candidates =
            server_candidates(value, type, ServerKind::InProcess, Bitness::Bits64, machine);
        return candidates.empty() || candidates[0].places.empty()
                   ? std::string()
                   : windows_path_text(candidates[0].places[0]);
    };
    EXPECT_EQ(first_place(" \"C:\\ProgramData\\Vendor\\x.dll\""), "C:\\ProgramData\\Vendor\\x.dll");
    EXPECT_EQ(first_place("\"%ProgramData%\\x\"", ValueType::ExpandString),
              "C:\\ProgramData\\x.dll");
    EXPECT_EQ(first_place("..\\..\\Users\\Public\\evil.dll"), "C:\\Users\\Public\\evil.dll");
    EXPECT_EQ(first_place("..\\..\\..\\..\\x.dll"), "C:\\x.dll");
    EXPECT_EQ(first_place("C:\\Users.\\Public\\evil.dll"), "C:\\Users\\Public\\evil.dll");
    EXPECT_EQ(first_expandable_name("%NOPE%\\%LocalAppData%\\x.dll", machine), "");
    add_user_environment(machine, "alice");
    EXPECT_EQ(first_expandable_name("%NOPE%\\%LocalAppData%\\x.dll", machine), "LocalAppData");
}

TEST(ServerFileCase, NamesCompareAsNtfsUpperCasesThemWhateverTheLocale) {
    EXPECT_TRUE(equal_folded("C:\\ÉTÉ\\Straße", "c:\\été\\STRAßE"));
    EXPECT_TRUE(equal_folded("ΣΊΣΥΦΟΣ", "σίσυφος"));
    EXPECT_TRUE(equal_folded("ΣΟΦΟΣ", "σοφος") && equal_folded("σ", "ς")); // final sigma too
    EXPECT_TRUE(equal_folded("Ǆ", "ǆ") && equal_folded("ПРИВЕТ.dll", "привет.DLL"));
    EXPECT_FALSE(equal_folded("Straße", "STRASSE")); // no single upper-case letter: kept
    EXPECT_FALSE(equal_folded("i", "İ"));
    EXPECT_EQ(fold_case("ABC\xff\xc3"), "abc\xff\xc3"); // bytes that are not UTF-8 are kept
    Environment machine = machine_environment();
    machine.set("Ünïcode", "yes");
    EXPECT_EQ(machine.value("üNÏCODE"), "yes");
}

TEST(ServerFileCase, GeneratedShortNamesAndTheLongNamesTheyMayStandFor) {
    for (const char *name : {"PROGRA~1", "progra~2", "MYDOC~12.TXT", "A~1"})
        EXPECT_TRUE(is_generated_short_name(name)) << name;
    for (const char *name :
         {"PROGRAM~", "~1", "LONGNAME~1", "A~1.TEXT", "A B~1", "A~0", "MYDOCU~12.TXT"})
        EXPECT_FALSE(is_generated_short_name(name)) << name;
    EXPECT_TRUE(shortens_to("Program Files", "PROGRA~1"));
    EXPECT_TRUE(shortens_to("Program Files (x86)", "progra~2"));
    EXPECT_TRUE(shortens_to("My Document.text", "MYDOCU~1.TEX"));
    EXPECT_TRUE(shortens_to("a+b c.dll.old", "A_BCDL~1.OLD"));
    EXPECT_FALSE(shortens_to("PROGRA~1", "PROGRA~1")); // an 8.3 name has no other
    EXPECT_FALSE(shortens_to("Programs.dll", "PROGRA~1"));
    EXPECT_FALSE(shortens_to("ProgramData", "PROGRA~1.DLL"));
}

TEST(ServerFilePath, FormsOfWindowsPaths) {
    struct Case {
        const char *text;
        PathKind kind;
        Names components;
    };
    const Case cases[] = {
        {"C:\\Windows\\System32\\a.dll", PathKind::Absolute, {"Windows", "System32", "a.dll"}},
        {"c:/windows//system32/A.DLL", PathKind::Absolute, {"windows", "system32", "A.DLL"}},
        {"\\Windows\\a.dll", PathKind::Absolute, {"Windows", "a.dll"}},
        {"C:\\a\\..\\..\\..\\b\\.\\c.dll", PathKind::Absolute, {"b", "c.dll"}},
        {"C:\\a\\evil.dll. . ", PathKind::Absolute, {"a", "evil.dll"}},
        {"\\\\?\\C:\\Windows\\a.dll", PathKind::Absolute, {"Windows", "a.dll"}},
        {"\\??\\c:\\x.dll", PathKind::Absolute, {"x.dll"}},
        {"\\\\.\\C:\\a\\..\\x.dll", PathKind::Absolute, {"x.dll"}},
        {"\\\\?\\C:\\a\\..\\x.dll", PathKind::Invalid, {}},
        {"\\\\?\\C:\\a/b.dll", PathKind::Invalid, {}},
        {"C:\\a|b.dll", PathKind::Invalid, {}},
        {"", PathKind::Invalid, {}},
        {"D:\\x.dll", PathKind::OtherDrive, {}},
        {"\\\\?\\D:\\x.dll", PathKind::OtherDrive, {}},
        {"\\\\server\\share\\x.dll", PathKind::Network, {}},
        {"//server/share/x.dll", PathKind::Network, {}},
        {"\\\\?\\UNC\\server\\share\\x.dll", PathKind::Network, {}},
        {"\\\\?\\Volume{0000}\\x.dll", PathKind::Network, {}},
        {"x.dll", PathKind::BareName, {"x.dll"}},
        {"sub\\x.dll", PathKind::Relative, {"sub", "x.dll"}},
        {"C:x.dll", PathKind::Relative, {"x.dll"}},
        {"..\\..\\x.dll", PathKind::Relative, {"..", "..", "x.dll"}},
        {"a\\..\\..\\x.dll", PathKind::Relative, {"..", "x.dll"}},
        {"C:\\Users.\\Public \\evil.dll", PathKind::Absolute, {"Users", "Public", "evil.dll"}},
    };
    for (const Case &test : cases) {
        WindowsPath path = parse_windows_path(test.text);
        EXPECT_EQ(path.kind, test.kind) << test.text;
        EXPECT_EQ(path.components, test.components) << test.text;
    }
    EXPECT_EQ(parse_windows_path("d:\\x.dll", 'D').kind, PathKind::Absolute);
    EXPECT_EQ(parse_windows_path("C:\\x.dll", 'D').kind, PathKind::OtherDrive);
}

TEST(ServerFilePath, BareNamesAreSearchedAndRelativeOnesStartInSystem32) {
    Environment machine = machine_environment();
    auto places = [&](const char *text, Bitness view) {
        std::vector<std::string> texts;
        for (const Names &place : server_search_paths(parse_windows_path(text), machine, view))
            texts.push_back(windows_path_text(place));
        return texts;
    };
    EXPECT_EQ(places("x.dll", Bitness::Bits64),
              (Names{"C:\\Windows\\System32\\x.dll", "C:\\Windows\\System\\x.dll",
                     "C:\\Windows\\x.dll", "C:\\Windows\\System32\\Wbem\\x.dll",
                     "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\x.dll"}));
    EXPECT_EQ(places("x.dll", Bitness::Bits32)[0], "C:\\Windows\\SysWOW64\\x.dll");
    EXPECT_EQ(places("sub\\x.dll", Bitness::Bits64), (Names{"C:\\Windows\\System32\\sub\\x.dll"}));
    EXPECT_TRUE(places("D:\\x.dll", Bitness::Bits64).empty());
}

TEST(ServerFileWow64, System32IsRedirectedExceptItsExemptFolders) {
    const Names root = {"Windows"};
    auto redirected = [&](const char *text, Bitness view = Bitness::Bits32) {
        return windows_path_text(
            redirect_for_view(parse_windows_path(text).components, root, view));
    };
    EXPECT_EQ(redirected("C:\\WINDOWS\\system32\\a.dll"), "C:\\WINDOWS\\SysWOW64\\a.dll");
    EXPECT_EQ(redirected("C:\\Windows\\System32\\drivers\\a.sys"),
              "C:\\Windows\\SysWOW64\\drivers\\a.sys");
    EXPECT_EQ(redirected("C:\\Windows\\System32\\a.dll", Bitness::Bits64),
              "C:\\Windows\\System32\\a.dll");
    for (const char *exempt :
         {"C:\\Windows\\System32\\catroot\\a", "C:\\Windows\\System32\\CatRoot2\\a",
          "C:\\Windows\\System32\\DriverStore\\a", "C:\\Windows\\System32\\drivers\\etc\\hosts",
          "C:\\Windows\\System32\\LogFiles\\a", "C:\\Windows\\System32\\spool\\drivers\\a.dll"})
        EXPECT_EQ(redirected(exempt), exempt);
    EXPECT_EQ(redirected("C:\\Windows\\Sysnative\\a.dll"), "C:\\Windows\\System32\\a.dll");
    EXPECT_EQ(redirected("C:\\Windows\\Sysnative\\a.dll", Bitness::Bits64),
              "C:\\Windows\\Sysnative\\a.dll");
    EXPECT_EQ(redirected("C:\\Windows\\lastgood\\System32\\a.dll"),
              "C:\\Windows\\lastgood\\SysWOW64\\a.dll");
    EXPECT_EQ(redirected("C:\\Windows\\regedit.exe"), "C:\\Windows\\SysWOW64\\regedit.exe");
    EXPECT_EQ(redirected("C:\\Other\\System32\\a.dll"), "C:\\Other\\System32\\a.dll");
}

TEST(ServerFileLocation, WhoCanWriteWhere) {
    Environment machine = machine_environment();
    auto location = [&](const char *text, const Environment &environment) {
        return std::string(
            location_name(classify_location(parse_windows_path(text).components, environment)));
    };
    for (const char *user :
         {"C:\\Users\\bob\\AppData\\Local\\a.dll", "C:\\users\\Public\\a.dll",
          "C:\\Windows\\Temp\\a.dll", "C:\\WINDOWS\\tasks\\a.dll", "C:\\Windows\\tracing\\a.dll",
          "C:\\Windows\\System32\\spool\\drivers\\color\\a.dll",
          "C:\\$Recycle.Bin\\S-1-5-21\\a.dll", "C:\\Documents and Settings\\bob\\a.dll"})
        EXPECT_EQ(location(user, machine), "user") << user;
    for (const char *system : {"C:\\Windows\\System32\\a.dll", "C:\\Windows\\a.dll",
                               "C:\\Windows\\SysWOW64\\spool\\drivers\\color\\a.dll"})
        EXPECT_EQ(location(system, machine), "system") << system;
    for (const char *programs :
         {"C:\\Program Files\\A\\a.dll", "C:\\PROGRAM FILES (X86)\\A\\a.dll"})
        EXPECT_EQ(location(programs, machine), "program-files") << programs;
    // ProgramData: new files only; Defender's Platform folder there: no user at all.
    EXPECT_EQ(location("C:\\ProgramData\\Vendor\\a.dll", machine), "user-create");
    EXPECT_EQ(
        location("C:\\programdata\\Microsoft\\Windows Defender\\Platform\\4.18\\a.dll", machine),
        "other");
    for (const char *other : {"C:\\Users\\Default\\a.dll", "C:\\Users\\a.dll", "C:\\Tools\\a.dll",
                              "C:\\a.dll", "C:\\ProgramDataX\\a.dll"})
        EXPECT_EQ(location(other, machine), "other") << other;

    Environment old = machine_environment("C:\\WINNT");
    EXPECT_EQ(location("C:\\WINNT\\system32\\a.dll", old), "system");
    EXPECT_EQ(location("C:\\WINNT\\Temp\\a.dll", old), "user");
    EXPECT_EQ(location("C:\\Windows\\a.dll", old), "other");
}

TEST(ServerFilePe, MachineAndDllFromTheHeaders) {
    std::optional<PeImage> x86_dll = parse_pe_image(pe_bytes(0x80, 0x14c, 0x2102));
    ASSERT_TRUE(x86_dll);
    EXPECT_EQ(x86_dll->machine, PeMachine::X86);
    EXPECT_TRUE(x86_dll->dll);
    std::optional<PeImage> x64_exe = parse_pe_image(pe_bytes(0x40, 0x8664, 0x0022));
    ASSERT_TRUE(x64_exe);
    EXPECT_EQ(x64_exe->machine, PeMachine::X64);
    EXPECT_FALSE(x64_exe->dll);
    EXPECT_EQ(parse_pe_image(pe_bytes(0x100, 0xaa64, 0x2022))->machine, PeMachine::Arm64);
    std::optional<PeImage> arm32 = parse_pe_image(pe_bytes(0x80, 0x1c4, 0x2000));
    EXPECT_EQ(std::string(machine_name(arm32->machine)), "other");
    EXPECT_EQ(arm32->machine_code, 0x1c4);

    EXPECT_TRUE(machine_fits_view(PeMachine::X86, Bitness::Bits32));
    EXPECT_FALSE(machine_fits_view(PeMachine::X64, Bitness::Bits32));
    EXPECT_FALSE(machine_fits_view(PeMachine::X86, Bitness::Bits64));
}

TEST(ServerFilePe, HostileHeadersAreNotImages) {
    std::string image = pe_bytes(0x80, 0x8664, 0x2000);
    EXPECT_FALSE(parse_pe_image(image.substr(0, image.size() - 1))); // file header cut short
    EXPECT_FALSE(parse_pe_image(image.substr(0, 0x3f)));             // no room for e_lfanew
    std::string far = image;
    far[0x3c] = far[0x3d] = far[0x3e] = far[0x3f] = '\xff'; // e_lfanew 4 GiB - 1
    EXPECT_FALSE(parse_pe_image(far));
    EXPECT_FALSE(pe_header_offset(far, 0xffffffffull + 23)); // bounds by the file's size
    EXPECT_EQ(pe_header_offset(far, 0xffffffffull + 24), 0xffffffffull);
    std::string not_mz = image;
    not_mz[0] = 'X';
    EXPECT_FALSE(parse_pe_image(not_mz));
    std::string not_pe = image;
    not_pe[0x81] = 'X';
    EXPECT_FALSE(parse_pe_image(not_pe));
    EXPECT_FALSE(parse_pe_image(""));
}

TEST(ServerFileTime, FiletimesAndUnixTimesOfAnyValue) {
    EXPECT_EQ(format_filetime(0), "1601-01-01T00:00:00.0000000Z");
    EXPECT_EQ(format_filetime(116444736000000000ull), "1970-01-01T00:00:00.0000000Z");
    EXPECT_EQ(format_filetime(133000000001234567ull), "2022-06-18T04:26:40.1234567Z");
    EXPECT_EQ(format_filetime(2650467743999999999ull), "9999-12-31T23:59:59.9999999Z");
    EXPECT_EQ(format_filetime(UINT64_MAX), "9999-12-31T23:59:59.9999999Z");
    EXPECT_EQ(format_unix_time(1709164800, 123456789), "2024-02-29T00:00:00.1234567Z");
    EXPECT_EQ(format_unix_time(-1, 999999999), "1969-12-31T23:59:59.9999999Z");
    // Past the years ISO 8601 writes in four digits: the nearest end.
    EXPECT_EQ(format_unix_time(INT64_MIN, 0), "0000-01-01T00:00:00.0000000Z");
    EXPECT_EQ(format_unix_time(INT64_MAX, 0), "9999-12-31T23:59:59.9999999Z");
}

// A ROOT in a temporary folder, removed afterwards (links are removed, never followed).
class ServerFileVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "server-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = std::filesystem::canonical(pattern).string();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void write(const std::string &path, const std::string &content) {
        std::filesystem::create_directories(
            std::filesystem::path(root_ + "/" + path).parent_path());
        std::ofstream(root_ + "/" + path, std::ios::binary) << content;
    }
    void link(const std::string &target, const std::string &path) {
        std::filesystem::create_directories(
            std::filesystem::path(root_ + "/" + path).parent_path());
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + path).c_str()), 0) << path;
    }
    ServerFile examine(VolumeFiles &volume, const std::string &value,
                       Bitness view = Bitness::Bits64) {
        return examine_server(volume, value, ValueType::ExpandString, ServerKind::InProcess, view,
                              machine_environment())
            .file;
    }

    std::string root_;
};

const char *const kHelloSha256 = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

TEST_F(ServerFileVolume, FilesFoundInAnyLetterCaseAndHashedOnce) {
    write("windows/system32/Good.dll", "hello");
    write("windows/SysWOW64/Good.dll", pe_bytes(8192, 0x14c, 0x2102)); // headers past the head
    write("Users/bob/a.dll", "upper");
    write("users/bob/a.dll", "lower");
    std::string big;
    for (std::size_t i = 0; i < 3 * (std::size_t(1) << 20) + 7; i++)
        big += static_cast<char>(i % 251);
    write("ProgramData/big.dll", big);
    ASSERT_EQ(::link((root_ + "/windows/system32/Good.dll").c_str(),
                     (root_ + "/ProgramData/hard.dll").c_str()),
              0);
    VolumeFiles volume(root_);
    ASSERT_TRUE(volume.ok()) << volume.error();
    EXPECT_EQ(volume.system_folder(), "windows");

    ServerFile good = examine(volume, "%SystemRoot%\\SYSTEM32\\good.DLL");
    EXPECT_EQ(good.state, FileState::Present) << good.problem;
    EXPECT_EQ(good.path, "windows/system32/Good.dll");
    EXPECT_EQ(good.windows_path, "C:\\Windows\\SYSTEM32\\good.DLL");
    EXPECT_EQ(good.size, 5u);
    EXPECT_EQ(good.sha256, kHelloSha256);
    EXPECT_EQ(good.modified.size(), std::string("2024-01-01T00:00:00.0000000Z").size());
    EXPECT_FALSE(good.pe);
    EXPECT_EQ(good.location, FileLocation::System);
    EXPECT_EQ(examine(volume, "GOOD.DLL").path, "windows/system32/Good.dll"); // searched

    ServerFile wow = examine(volume, "C:\\Windows\\System32\\good.dll", Bitness::Bits32);
    EXPECT_EQ(wow.path, "windows/SysWOW64/Good.dll");
    ASSERT_TRUE(wow.pe);
    EXPECT_EQ(wow.pe->machine, PeMachine::X86);
    EXPECT_TRUE(wow.pe->dll);

    // Two spellings of one folder: the exact one, else the first in byte order; the other is
    // examined as its twin, so that a decoy never hides it.
    ServerFile twin = examine(volume, "C:\\users\\BOB\\a.dll");
    EXPECT_EQ(twin.path, "users/bob/a.dll");
    ASSERT_EQ(twin.case_variants.size(), 1u);
    EXPECT_EQ(twin.case_variants[0].path, "Users/bob/a.dll");
    EXPECT_EQ(twin.case_variants[0].size, 5u);
    EXPECT_EQ(twin.case_variants[0].location, FileLocation::UserWritable);
    EXPECT_EQ(examine(volume, "C:\\USERS\\bob\\a.dll").path, "Users/bob/a.dll");

    EXPECT_EQ(examine(volume, "C:\\ProgramData\\big.dll").sha256,
              "f578a61853ca2f4272dba551bd868420e22302fbb6d6dfc0cc80da1d2c7b779f");
    std::size_t hashed = volume.files_hashed();
    EXPECT_EQ(hashed, 5u);
    ServerFile hard = examine(volume, "C:\\ProgramData\\hard.dll");
    EXPECT_EQ(hard.sha256, kHelloSha256);
    EXPECT_EQ(hard.location, FileLocation::UserCreatable);
    examine(volume, "C:\\Windows\\System32\\good.dll");
    EXPECT_EQ(volume.files_hashed(), hashed); // the same file again, by another name too
}

TEST_F(ServerFileVolume, LinksStayInsideTheRootAndOddFilesAreNeverRead) {
    write("windows/system32/Good.dll", "hello");
    link("/etc/passwd", "Users/bob/passwd.dll");
    link(root_ + "/windows/system32/Good.dll", "Users/bob/absolute.dll");
    link(root_ + "/../" + std::filesystem::path(root_).filename().string() +
             "/windows/system32/Good.dll",
         "Users/bob/around.dll");
    link("../../windows/system32/Good.dll", "Users/bob/relative.dll");
    link("../../../etc/passwd", "Users/bob/climb.dll");
    link("../../etc", "Users/bob/etc");
    link("loop-b.dll", "Users/bob/loop-a.dll");
    link("loop-a.dll", "Users/bob/loop-b.dll");
    ASSERT_EQ(mkfifo((root_ + "/Users/bob/pipe.dll").c_str(), 0600), 0);
    std::filesystem::create_directories(root_ + "/Users/bob/folder.dll");
    VolumeFiles volume(root_);
    ASSERT_TRUE(volume.ok()) << volume.error();

    ServerFile passwd = examine(volume, "C:\\Users\\bob\\passwd.dll");
    EXPECT_EQ(passwd.state, FileState::Outside);
    EXPECT_EQ(passwd.path, "Users/bob/passwd.dll");
    EXPECT_TRUE(passwd.sha256.empty());
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\climb.dll").state, FileState::Outside);
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\etc\\passwd").state, FileState::Missing);
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\around.dll").state, FileState::Outside);
    EXPECT_EQ(volume.files_hashed(), 0u);

    for (const char *inside : {"C:\\Users\\bob\\absolute.dll", "C:\\Users\\bob\\relative.dll"}) {
        ServerFile followed = examine(volume, inside);
        EXPECT_EQ(followed.state, FileState::Present) << inside << ": " << followed.problem;
        EXPECT_EQ(followed.target, "windows/system32/Good.dll");
        EXPECT_EQ(followed.sha256, kHelloSha256);
        EXPECT_EQ(followed.location, FileLocation::System); // where it leads, not where it is named
    }
    EXPECT_EQ(volume.files_hashed(), 1u);

    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\pipe.dll").state, FileState::NotAFile);
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\folder.dll").state, FileState::NotAFile);
    ServerFile loop = examine(volume, "C:\\Users\\bob\\loop-a.dll");
    EXPECT_EQ(loop.state, FileState::Unreadable);
    EXPECT_NE(loop.problem.find("too many links"), std::string::npos) << loop.problem;

    ServerFile missing = examine(volume, "C:\\Users\\BOB\\Nope\\x.dll");
    EXPECT_EQ(missing.state, FileState::Missing);
    EXPECT_EQ(missing.path, "Users/bob/Nope/x.dll");
    for (const char *elsewhere : {"D:\\x.dll", "\\\\server\\share\\x.dll"}) {
        ServerFile far = examine(volume, elsewhere);
        EXPECT_EQ(far.state, FileState::Outside) << elsewhere;
        EXPECT_TRUE(far.other_volume) << elsewhere;
    }
    EXPECT_FALSE(passwd.other_volume);
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\a.txt:x.dll").state, FileState::NotExamined);
    EXPECT_EQ(examine(volume, "").problem, "the value names no file");
    EXPECT_EQ(volume.files_hashed(), 1u);
}

TEST_F(ServerFileVolume, UnquotedCommandLinesRunTheFirstProgramThatExists) {
    write("Program Files/My App/app.exe", "app");
    write("Windows/System32/kernel32.dll", "k");
    auto local_server = [&](VolumeFiles &volume, const char *value) {
        return examine_server(volume, value, ValueType::String, ServerKind::CommandLine,
                              Bitness::Bits64, machine_environment());
    };
    {
        VolumeFiles volume(root_);
        ServerExamination plain =
            local_server(volume, "C:\\Program Files\\My App\\app.exe -Embedding");
        EXPECT_EQ(plain.file.path, "Program Files/My App/app.exe");
        EXPECT_EQ(plain.file.location, FileLocation::ProgramFiles);
        EXPECT_FALSE(plain.passed_over);
        ServerExamination missing = local_server(volume, "C:\\Program Files\\Gone\\gone.exe /x");
        EXPECT_EQ(missing.file.state, FileState::Missing);
        EXPECT_EQ(missing.file.windows_path, "C:\\Program Files\\Gone\\gone.exe");
    }
    write("program.EXE", "hijack");
    VolumeFiles volume(root_);
    ServerExamination hijacked =
        local_server(volume, "C:\\Program Files\\My App\\app.exe -Embedding");
    EXPECT_EQ(hijacked.file.path, "program.EXE");
    EXPECT_EQ(hijacked.file.location, FileLocation::Other);
    ASSERT_TRUE(hijacked.passed_over);
    EXPECT_EQ(hijacked.passed_over->path, "Program Files/My App/app.exe");
    EXPECT_EQ(hijacked.passed_over->state, FileState::Present);
    ServerExamination quoted =
        local_server(volume, "\"C:\\Program Files\\My App\\app.exe\" -Embedding");
    EXPECT_EQ(quoted.file.path, "Program Files/My App/app.exe");
    EXPECT_FALSE(quoted.passed_over);
}

TEST_F(ServerFileVolume, LargeFilesDeepFoldersAndManyTwinsStayBounded) {
    write("Windows/System32/kernel32.dll", "k");
    write("Program Files/Big/big.dll", pe_bytes(9000, 0x8664, 0x2022));
    // Made a folder at a time: the whole path is longer than the kernel takes in one call.
    std::string deep = "Program Files/Deep";
    std::filesystem::create_directories(root_ + "/" + deep);
    int bottom = open((root_ + "/" + deep).c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 1100; i++) {
        deep += "/d";
        ASSERT_EQ(mkdirat(bottom, "d", 0700), 0);
        int next = openat(bottom, "d", O_RDONLY | O_DIRECTORY);
        close(bottom);
        bottom = next;
    }
    int x = openat(bottom, "x.dll", O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(::write(x, "hello", 5), 5);
    close(x);
    // A link at the bottom that climbs 700 folders up and down again reopens them from the ROOT.
    std::string up, down;
    for (int i = 0; i < 700; i++) {
        up += "../";
        down += "d/";
    }
    ASSERT_EQ(symlinkat((up + down + "x.dll").c_str(), bottom, "climb.dll"), 0);
    close(bottom);
    for (int i = 0; i < 40; i++) {
        std::string name = "twin.dll";
        for (int bit = 0; bit < 6; bit++)
            if (i >> bit & 1)
                name[bit] = static_cast<char>(std::toupper(name[bit]));
        write("Users/bob/" + name, "t");
    }
    VolumeFiles volume(root_);
    volume.set_hash_limit(8192);
    ServerFile big = examine(volume, "C:\\Program Files\\Big\\big.dll");
    EXPECT_EQ(big.state, FileState::NotExamined);
    EXPECT_NE(big.problem.find("hash limit"), std::string::npos) << big.problem;
    EXPECT_GT(big.size, 8192u);
    ASSERT_TRUE(big.pe);
    EXPECT_EQ(big.pe->machine, PeMachine::X64);
    EXPECT_TRUE(big.sha256.empty());
    EXPECT_EQ(volume.files_hashed(), 0u);

    // 1,100 folders deep with 256 descriptors: the walk keeps only the deepest few open.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit lowered = saved;
    lowered.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::string windows = "C:\\" + deep.substr(0, deep.size()) + "\\x.dll";
    std::replace(windows.begin(), windows.end(), '/', '\\');
    ServerFile far = examine(volume, windows);
    ServerFile climbed = examine(volume, windows.substr(0, windows.size() - 5) + "climb.dll");
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(far.state, FileState::Present) << far.problem;
    EXPECT_EQ(far.sha256, kHelloSha256);
    EXPECT_EQ(climbed.state, FileState::Present) << climbed.problem;
    EXPECT_EQ(climbed.sha256, kHelloSha256);
    ASSERT_EQ(std::system(("rm -rf '" + root_ + "/Program Files/Deep'").c_str()), 0);

    // 40 spellings of one name: the first and kMaxCaseVariants twins, and a problem for the rest.
    ServerFile twins = examine(volume, "C:\\Users\\bob\\TWIN.DLL");
    EXPECT_EQ(twins.state, FileState::Present);
    EXPECT_EQ(twins.case_variants.size(), kMaxCaseVariants);
    EXPECT_NE(twins.problem.find("other letter cases"), std::string::npos) << twins.problem;
}

TEST_F(ServerFileVolume, ACollectionOfHivesHoldsNoProgramFiles) {
    write("Windows/System32/config/SOFTWARE", "hive");
    write("Users/alice/AppData/Local/Vendor/x.dll", "x");
    {
        VolumeFiles collection(root_);
        EXPECT_FALSE(collection.holds_program_files());
        EXPECT_EQ(examine(collection, "C:\\Windows\\System32\\ole32.dll").state,
                  FileState::NotCollected);
        EXPECT_EQ(examine(collection, "C:\\Users\\alice\\AppData\\Local\\Vendor\\x.dll").state,
                  FileState::Present);
        // A REG_SZ value with a variable in it: both readings are examined.
        Environment alice = machine_environment();
        add_user_environment(alice, "alice");
        ServerExamination plain =
            examine_server(collection, "%LOCALAPPDATA%\\Vendor\\x.dll", ValueType::String,
                           ServerKind::InProcess, Bitness::Bits64, alice);
        EXPECT_EQ(plain.unexpanded_variable, "LOCALAPPDATA");
        EXPECT_TRUE(plain.relative);
        EXPECT_EQ(plain.file.state, FileState::NotCollected);
        ASSERT_TRUE(plain.if_expanded);
        EXPECT_EQ(plain.if_expanded->state, FileState::Present);
        EXPECT_EQ(plain.if_expanded->location, FileLocation::UserWritable);
        EXPECT_EQ(resolved_place(plain),
                  (Names{"Windows", "System32", "%LOCALAPPDATA%", "Vendor", "x.dll"}));
    }
    write("Windows/System32/kernel32.DLL", "k");
    VolumeFiles image(root_);
    EXPECT_TRUE(image.holds_program_files());
    EXPECT_EQ(examine(image, "C:\\Windows\\System32\\ole32.dll").state, FileState::Missing);
}

TEST_F(ServerFileVolume, ShortNamesAndUnicodeCaseFindTheFileWhenThereIsOne) {
    write("Windows/System32/kernel32.dll", "k");
    write("Program Files/Ünïcode App/Über.dll", "hello");
    write("Program Files (x86)/App/x.dll", "x86");
    write("Users/bob/My Tools/t.dll", "tools");
    VolumeFiles volume(root_);
    EXPECT_EQ(examine(volume, "C:\\PROGRAM FILES\\üNÏCODE APP\\ÜBER.DLL").sha256, kHelloSha256);
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\MYTOOL~1\\t.dll").path, "Users/bob/My Tools/t.dll");
    EXPECT_EQ(examine(volume, "C:\\Users\\bob\\OTHER~1\\t.dll").state, FileState::Missing);
    ServerFile ambiguous = examine(volume, "C:\\PROGRA~2\\App\\x.dll");
    EXPECT_EQ(ambiguous.state, FileState::NotExamined);
    EXPECT_NE(ambiguous.problem.find("Program Files (x86)"), std::string::npos)
        << ambiguous.problem;
}

TEST(ServerFileVolumeErrors, ARootThatCannotBeOpenedExaminesNothing) {
    VolumeFiles volume("/nonexistent/server-files-root");
    EXPECT_FALSE(volume.ok());
    EXPECT_NE(volume.error().find("/nonexistent/server-files-root"), std::string::npos);
    ServerFile file = examine_server(volume, "C:\\a.dll", ValueType::String, ServerKind::InProcess,
                                     Bitness::Bits64, machine_environment())
                          .file;
    EXPECT_EQ(file.state, FileState::NotExamined);
    EXPECT_EQ(file.windows_path, "C:\\a.dll");
}

} // namespace
