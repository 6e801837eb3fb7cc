// Deleted class keys through the whole scan: carved from hives on disk, put back into their side,
// judged by every rule, and printed flagged as deleted.
#include "clsidscan/finding_files.h"
#include "clsidscan/scan_output.h"
#include "evidence/scan_sources.h"
#include "tests/hive_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

constexpr unsigned long long WRITTEN = 132000000000000000ULL; // 2019
constexpr unsigned long long DELETED = 133000000000000000ULL; // 2022

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/deleted-scan-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string &name, const std::string &bytes) const {
        std::ofstream(path + "/" + name, std::ios::binary) << bytes;
        return path + "/" + name;
    }
};

// A hive of `keys` with every key's time WRITTEN.
std::string timed_hive(const std::vector<FixtureKey> &keys) {
    return make_timed_hive(keys, WRITTEN);
}

FixtureKey described(const std::string &path, const std::u16string &description) {
    return {path, {{"", 1, reg_sz_data(description)}}};
}

FixtureKey server(const std::string &path, const std::u16string &file) {
    return {path + "\\InprocServer32", {{"", 2, reg_sz_data(file)}}};
}

std::string scan(const std::vector<std::string> &files, ReportFormat format, bool carve = true) {
    ClassesSides sides;
    SourceOptions options;
    options.carve_deleted = carve;
    for (const std::string &file : files) {
        std::vector<std::string> notes;
        std::string error;
        EXPECT_TRUE(load_source(sides, file, options, notes, error)) << error;
    }
    ScanSettings settings;
    settings.format = format;
    settings.sources = options;
    Environment environment = machine_environment();
    ViewScan result;
    EXPECT_TRUE(scan_view(sides, settings, result, {nullptr, &environment}));
    finish_findings(result.reports, nullptr, environment, Severity::Low);
    return render_reports(sides, result.reports, settings,
                          ReportScope{std::string(), std::nullopt, &environment}, true);
}

// The JSON lines of `json` that hold every one of `parts`.
std::vector<std::string> lines_with(const std::string &json, std::vector<std::string> parts) {
    std::vector<std::string> found;
    std::size_t start = 0;
    while (start < json.size()) {
        std::size_t end = json.find('\n', start);
        std::string line = json.substr(start, end - start);
        bool all = true;
        for (const std::string &part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            found.push_back(line);
        start = end == std::string::npos ? json.size() : end + 1;
    }
    return found;
}

// A user's classes and a machine's, each with deletions as Windows leaves them.
struct Deletions {
    TempDir dir;
    std::string user, machine;
    Deletions() {
        std::string user_hive = timed_hive({
            described("CLSID\\{A}", u"Evil Helper"),
            {"CLSID\\{A}\\InprocServer32",
             {{"", 1, reg_sz_data(u"C:\\Users\\me\\AppData\\e.dll")}}},
            described("CLSID\\{A}\\TypeLib", u"{00000000-0000-0000-0000-00000000000F}"),
            described("CLSID\\{S}", u"Live Shell"),
            server("CLSID\\{S}", u"%LOCALAPPDATA%\\s.dll"),
            described("CLSID\\{K}", u"Kept"),
        });
        delete_key_as_windows(user_hive, "CLSID\\{A}", DELETED);
        delete_key_as_windows(user_hive, "CLSID\\{S}\\InprocServer32", DELETED);
        user = dir.write("UsrClass.dat", user_hive);
        std::string machine_hive = timed_hive({
            described("Classes\\CLSID\\{M}", u"System Thing"),
            server("Classes\\CLSID\\{M}", u"C:\\Windows\\System32\\m.dll"),
            described("Classes\\Wow6432Node\\CLSID\\{P}", u"Public Thing"),
            server("Classes\\Wow6432Node\\CLSID\\{P}", u"C:\\Users\\Public\\p.dll"),
            described("Classes\\CLSID\\{L}", u"Live"),
        });
        delete_key_as_windows(machine_hive, "Classes\\CLSID\\{M}", DELETED);
        delete_key_as_windows(machine_hive, "Classes\\Wow6432Node\\CLSID\\{P}", DELETED);
        machine = dir.write("SOFTWARE", machine_hive);
    }
};

TEST(DeletedScanTest, TheDeletedRuleListsUserDeletionsAndMachineOnesAUserCouldWrite) {
    Deletions hives;
    const std::string json = scan({hives.machine, hives.user}, ReportFormat::Json);
    auto deleted = lines_with(json, {"\"rule\":\"deleted\""});
    ASSERT_EQ(deleted.size(), 3u) << json;
    // The user's deleted class, its server under the profile: high, its own time, not a deletion.
    EXPECT_EQ(lines_with(json, {"\"rule\":\"deleted\"", "\"key\":\"{A}\"", "\"view\":64",
                                "\"severity\":\"high\"", "\"deleted\":true",
                                "\"carved_from\":\"primary\"", "\"side\":\"user\"",
                                "\"written\":\"2022-"})
                  .size(),
              1u)
        << json;
    // The server subkey deleted under a live class, judged with the live class's description.
    EXPECT_EQ(lines_with(
                  json, {"\"rule\":\"deleted\"", "\"key\":\"{S}\"", "Live Shell", "%LOCALAPPDATA%"})
                  .size(),
              1u);
    // The machine's, in the 32-bit view, whose server a user could replace; not the system one.
    EXPECT_EQ(lines_with(json, {"\"rule\":\"deleted\"", "\"key\":\"{P}\"", "\"view\":32",
                                "\"side\":\"machine\"", "\"severity\":\"high\""})
                  .size(),
              1u);
    EXPECT_TRUE(lines_with(json, {"\"rule\":\"deleted\"", "\"key\":\"{M}\""}).empty());
    // Every other rule judged them too: the bare-shaped deleted class is a deleted bare finding,
    // and the live classes' findings are not flagged.
    EXPECT_EQ(lines_with(json, {"\"rule\":\"bare\"", "\"key\":\"{A}\"", "\"deleted\":true"}).size(),
              1u);
    EXPECT_EQ(
        lines_with(json, {"\"rule\":\"userpath\"", "\"key\":\"{P}\"", "\"deleted\":true"}).size(),
        1u);
    EXPECT_TRUE(lines_with(json, {"\"key\":\"{K}\"", "\"deleted\""}).empty());
    EXPECT_TRUE(lines_with(json, {"\"key\":\"{L}\"", "\"deleted\""}).empty());
}

TEST(DeletedScanTest, TextCsvAndBodyfileSayDeletedAndNoDeletedTurnsCarvingOff) {
    Deletions hives;
    const std::string text = scan({hives.machine, hives.user}, ReportFormat::Text);
    EXPECT_NE(text.find("# deleted rule, 64-bit view, deleted keys\n"
                        "HKEY_CLASSES_ROOT\\CLSID\\{A}               \tEvil Helper\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# bare rule, 64-bit view\n# name rule"), std::string::npos);
    const std::string csv = scan({hives.machine, hives.user}, ReportFormat::Csv);
    EXPECT_NE(csv.find(",Deleted registry key last written,\"deleted rule: {A}"), std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",true,"), std::string::npos);
    const std::string body = scan({hives.machine, hives.user}, ReportFormat::Bodyfile);
    EXPECT_NE(body.find("[deleted rule, 64-bit, deleted]"), std::string::npos) << body;
    const std::string off = scan({hives.machine, hives.user}, ReportFormat::Json, false);
    EXPECT_EQ(off.find("deleted"), std::string::npos) << off;
}

// An old-format log that turns `primary` (same size) into `after`.
std::string old_format_log(const std::string &primary, const std::string &after) {
    std::string log = after.substr(0, 512);
    set_image_u32(log, 4, 0x101);
    set_image_u32(log, 8, 0x101);
    set_image_u32(log, 28, 1);
    fix_header_checksum(log);
    std::size_t bins = after.size() - HIVE_BINS_START;
    std::string bitmap(bins / 4096, '\0'), pages;
    for (std::size_t page = 0; page < bins / 512; ++page)
        if (primary.compare(HIVE_BINS_START + page * 512, 512, after, HIVE_BINS_START + page * 512,
                            512) != 0) {
            bitmap[page / 8] = char(bitmap[page / 8] | 1 << page % 8);
            pages += after.substr(HIVE_BINS_START + page * 512, 512);
        }
    std::string body = "DIRT" + bitmap;
    body.resize((body.size() + 511) / 512 * 512);
    return log + body + pages;
}

TEST(DeletedScanTest, ADirtyHiveIsCarvedBeforeAndAfterItsReplay) {
    TempDir dir;
    std::string before = timed_hive({
        described("CLSID\\{D}", u"Gone Before"),
        server("CLSID\\{D}", u"%APPDATA%\\d.dll"),
        described("CLSID\\{A}", u"Gone After"),
        server("CLSID\\{A}", u"%APPDATA%\\a.dll"),
        described("CLSID\\{K}", u"Kept"),
    });
    const std::size_t d_record = find_key_record(before, "CLSID\\{D}");
    const std::size_t d_server = find_key_record(before, "CLSID\\{D}\\InprocServer32");
    delete_key_as_windows(before, "CLSID\\{D}", DELETED);
    // In the logs: {A} deleted, and the space of {D} used again.
    std::string after = before;
    delete_key_as_windows(after, "CLSID\\{A}", DELETED + 1);
    after.replace(d_record, 2, "xx");
    after.replace(d_server, 2, "xx");
    std::string primary = before;
    set_image_u32(primary, 4, 0x101);
    set_image_u32(primary, 8, 0x100);
    fix_header_checksum(primary);
    const std::string hive = dir.write("UsrClass.dat", primary);
    dir.write("UsrClass.dat.LOG", old_format_log(primary, after));
    const std::string json = scan({hive}, ReportFormat::Json);
    EXPECT_EQ(
        lines_with(json, {"\"rule\":\"deleted\"", "\"key\":\"{D}\"", "\"carved_from\":\"primary\""})
            .size(),
        1u)
        << json;
    EXPECT_EQ(lines_with(json, {"\"rule\":\"deleted\"", "\"key\":\"{A}\"",
                                "\"carved_from\":\"recovered\""})
                  .size(),
              1u)
        << json;
    EXPECT_EQ(lines_with(json, {"\"state\":\"recovered\""}).size(), 2u);
}

} // namespace
