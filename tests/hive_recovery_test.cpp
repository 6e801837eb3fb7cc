// Unit tests of the hive log replay: the real UsrClass.dat trio, damaged copies of it, and logs
// made here from a change that libhivex writes into a small hive; and the replay as the program
// goes through it, from files, with the logs beside a hive or given to it.
#include "evidence/scan_sources.h"
#include "hive/hive_recovery.h"
#include "hive/marvin32.h"
#include "registry/code_page.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string DATA_DIR = std::filesystem::path(__FILE__).parent_path().string() + "/data/";

// The real files are kept xz-compressed; the xz program unpacks them into memory.
std::string read_xz(const std::string &name) {
    const std::string command = "xz -dc '" + DATA_DIR + "real-hives/" + name + ".xz'";
    std::string bytes;
    FILE *pipe = popen(command.c_str(), "r");
    char buffer[1 << 16];
    for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        bytes.append(buffer, n);
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
    return bytes;
}

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct TempDir {
    std::string path;
    TempDir() {
        std::string name =
            (std::filesystem::temp_directory_path() / "hive_recovery.XXXXXX").string();
        path = mkdtemp(name.data()) != nullptr ? name : "";
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string &name, const std::string &bytes) const {
        std::ofstream(path + "/" + name, std::ios::binary) << bytes;
        return path + "/" + name;
    }
};

void put32(std::string &bytes, std::size_t at, std::uint64_t value, int width = 4) {
    for (int i = 0; i < width; ++i)
        bytes[at + i] = char(value >> (8 * i));
}
std::uint32_t get32(const std::string &bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void set_sequences(std::string &header, std::uint32_t primary, std::uint32_t secondary) {
    put32(header, 4, primary);
    put32(header, 8, secondary);
    put32(header, 508, hive_header_checksum(reinterpret_cast<unsigned char *>(header.data())));
}

// Recomputes both hashes of the log entry at `at` after a test changed it.
void rehash(std::string &log, std::size_t at) {
    const auto *entry = reinterpret_cast<const unsigned char *>(log.data()) + at;
    put32(log, at + 24, marvin32(entry + 40, get32(log, at + 4) - 40), 8);
    put32(log, at + 32, marvin32(entry, 32), 8);
}

// Opens the image strictly with libhivex and walks every key and value.
struct HiveWalk {
    bool ok = false;
    std::size_t keys = 0, clsid = 0, wow_clsid = 0;
};
std::size_t walk(hive_h *hive, hive_node_h node, bool &ok) {
    hive_value_h *values = hivex_node_values(hive, node);
    hive_node_h *children = hivex_node_children(hive, node);
    ok = ok && values != nullptr && children != nullptr;
    std::size_t keys = 1;
    for (std::size_t i = 0; children != nullptr && children[i] != 0; ++i)
        keys += walk(hive, children[i], ok);
    free(values);
    free(children);
    return keys;
}
std::size_t subkey_count(hive_h *hive, hive_node_h node) {
    hive_node_h *children = node != 0 ? hivex_node_children(hive, node) : nullptr;
    std::size_t count = 0;
    while (children != nullptr && children[count] != 0)
        ++count;
    free(children);
    return count;
}
HiveWalk open_and_walk(const std::string &image) {
    TempDir dir;
    HiveWalk result;
    hive_h *hive = hivex_open(dir.write("hive", image).c_str(), 0);
    if (hive == nullptr)
        return result;
    result.ok = true;
    result.keys = walk(hive, hivex_root(hive), result.ok);
    const hive_node_h clsid = hivex_node_get_child(hive, hivex_root(hive), "CLSID");
    const hive_node_h wow = hivex_node_get_child(hive, hivex_root(hive), "WOW6432Node");
    result.clsid = subkey_count(hive, clsid);
    result.wow_clsid = subkey_count(hive, wow != 0 ? hivex_node_get_child(hive, wow, "CLSID") : 0);
    hivex_close(hive);
    return result;
}

const std::uint32_t USRCLASS_DATA_SIZE = 0x2b3000;

TEST(HiveRecoveryTest, RealLogsReplayInAnyOrder) {
    const std::string primary = read_xz("UsrClass.dat");
    const HiveLog log1{"LOG1", read_xz("UsrClass.dat.LOG1")};
    const HiveLog log2{"LOG2", read_xz("UsrClass.dat.LOG2")};
    ASSERT_TRUE(hive_is_dirty(primary));
    const HiveWalk before = open_and_walk(primary);
    ASSERT_TRUE(before.ok);

    std::string recovered = primary, reversed = primary;
    const HiveRecovery result = recover_hive(recovered, {log1, log2});
    EXPECT_EQ(result.state, HiveState::Recovered);
    EXPECT_EQ(result.sequence, 300u);
    EXPECT_EQ(result.logs_used, (std::vector<std::string>{"LOG1", "LOG2"}));
    EXPECT_EQ(result.reason, "");
    EXPECT_EQ(describe_recovery("UsrClass.dat", result),
              "UsrClass.dat: dirty, recovered to sequence 300 from LOG1, LOG2");
    EXPECT_FALSE(hive_is_dirty(recovered));
    EXPECT_EQ(recovered.size(), 4096 + USRCLASS_DATA_SIZE);

    const HiveWalk after = open_and_walk(recovered);
    EXPECT_TRUE(after.ok);
    EXPECT_EQ(after.keys, before.keys + 33);
    EXPECT_EQ(before.clsid, 20u);
    EXPECT_EQ(after.clsid, 20u);
    EXPECT_EQ(before.wow_clsid, 23u);
    EXPECT_EQ(after.wow_clsid, 23u);

    EXPECT_EQ(recover_hive(reversed, {log2, log1}).logs_used, result.logs_used);
    EXPECT_EQ(reversed, recovered);
}

struct DamageCase {
    const char *what;
    std::function<void(std::string &primary, std::vector<HiveLog> &logs)> damage;
    HiveState state;
    std::uint32_t sequence;
    std::vector<std::string> logs_used;
    const char *reason; // a part of the reason
};

TEST(HiveRecoveryTest, DamagedRealFilesStopAtTheFirstFault) {
    const std::string primary = read_xz("UsrClass.dat");
    const std::vector<HiveLog> logs{{"LOG1", read_xz("UsrClass.dat.LOG1")},
                                    {"LOG2", read_xz("UsrClass.dat.LOG2")}};
    const std::vector<std::string> both{"LOG1", "LOG2"}, log1{"LOG1"}, log2{"LOG2"}, none;
    const DamageCase cases[] = {
        {"bad hash in entry 2", [](auto &, auto &l) { l[0].bytes[0x5000] ^= 1; },
         HiveState::Recovered, 287, log1, "bad hash in entry 2 of LOG1 at 0x4000"},
        {"gap inside a log",
         [](auto &, auto &l) { put32(l[0].bytes, 0x8000 + 12, 290), rehash(l[0].bytes, 0x8000); },
         HiveState::Recovered, 288, log1, "gap at 289: entry 3 of LOG1 at 0x8000 carries 290"},
        {"truncated entry", [](auto &, auto &l) { l[1].bytes.resize(0x7000); },
         HiveState::Recovered, 291, both, "truncated (size 0x1f000, 0x1000 bytes left) in entry 2"},
        {"bad log base block", [](auto &, auto &l) { l[0].bytes[100] ^= 1; }, HiveState::Recovered,
         300, log2, "LOG1 skipped: bad base block checksum"},
        {"stale log", [](auto &p, auto &) { set_sequences(p, 289, 288); }, HiveState::Recovered,
         300, log2, "LOG1 skipped: stale (starts at 287, hive at 288)"},
        {"bad primary checksum", [](auto &p, auto &) { p[100] ^= 1; }, HiveState::Recovered, 300,
         log2, "base block is bad; taken from LOG2"},
        {"first entry missing",
         [](auto &, auto &l) { put32(l[0].bytes, 0x200 + 12, 286), rehash(l[0].bytes, 0x200); },
         HiveState::NotRecovered, 0, none, "gap at 287: entry 1 of LOG1 at 0x200 carries 286"},
        {"no logs", [](auto &, auto &l) { l.clear(); }, HiveState::NotRecovered, 0, none,
         "no transaction logs"},
        {"no valid log", [](auto &, auto &l) { set_sequences(l[0].bytes, 1, 2), l.pop_back(); },
         HiveState::NotRecovered, 0, none,
         "LOG1 skipped: sequence numbers differ (1, 2); no valid"},
    };
    for (const DamageCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = primary;
        std::vector<HiveLog> damaged = logs;
        c.damage(image, damaged);
        const std::string given = image;
        const HiveRecovery result = recover_hive(image, damaged);
        EXPECT_EQ(result.state, c.state);
        EXPECT_EQ(result.sequence, c.sequence);
        EXPECT_EQ(result.logs_used, c.logs_used);
        EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
        if (result.state == HiveState::NotRecovered) {
            EXPECT_TRUE(image == given);
            continue;
        }
        EXPECT_FALSE(hive_is_dirty(image));
        EXPECT_EQ(image.size(), 4096 + USRCLASS_DATA_SIZE);
        EXPECT_EQ(get32(image, 28), 0u); // a hive, also when the base block came from a log
        EXPECT_TRUE(open_and_walk(image).ok);
    }
}

// A change libhivex makes to the minimal hive: a new key at `path` (made with its parents) whose
// value needs a second bin, so that the hive grows; and the logs that carry it.
struct GrowingChange {
    std::string before, after;      // the hive before and after, both clean
    std::uint32_t grown_size = 0;   // the hive bins size after
    HiveLog new_format, old_format; // LOG1 and LOG, each carrying the whole change
    std::string primary;            // `before`, dirty: sequence numbers 0x101 and 0x100
};

GrowingChange make_growing_change(const std::string &path) {
    GrowingChange made;
    TempDir dir;
    const std::string &before = made.before = read_file(DATA_DIR + "minimal.hive");
    hive_h *hive = hivex_open(dir.write("before", before).c_str(), HIVEX_OPEN_WRITE);
    EXPECT_NE(hive, nullptr);
    if (hive == nullptr)
        return made;
    const std::string data(6000, 'x');
    hive_set_value value{const_cast<char *>("Data"), hive_t_REG_BINARY, data.size(),
                         const_cast<char *>(data.data())};
    hive_node_h grown = hivex_root(hive);
    for (std::size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find('\\', start), path.size());
        grown = hivex_node_add_child(hive, grown, path.substr(start, end - start).c_str());
    }
    EXPECT_EQ(hivex_node_set_value(hive, grown, &value, 0), 0);
    EXPECT_EQ(hivex_commit(hive, (dir.path + "/after").c_str(), 0), 0);
    hivex_close(hive);
    const std::string &after = made.after = read_file(dir.path + "/after");
    made.grown_size = get32(after, 40);
    EXPECT_EQ(after.size(), 4096 + made.grown_size);
    EXPECT_GT(made.grown_size, get32(before, 40));

    auto changed = [&](std::size_t at, std::size_t size) {
        return at >= before.size() || before.compare(at, size, after, at, size) != 0;
    };
    auto make_log = [&](std::uint32_t type, const std::string &body) {
        std::string log = after.substr(0, 512);
        put32(log, 28, type);
        set_sequences(log, 0x101, 0x101);
        return HiveLog{type == 1 ? "LOG" : "LOG1", log + body};
    };
    std::string entry(40, '\0'), pages;
    std::uint32_t page_count = 0;
    for (std::size_t at = 4096; at < after.size(); at += 4096) {
        if (changed(at, 4096)) {
            entry += std::string(8, '\0');
            put32(entry, entry.size() - 8, at - 4096);
            put32(entry, entry.size() - 4, 4096);
            pages += after.substr(at, 4096);
            ++page_count;
        }
    }
    entry = "HvLE" + entry.substr(4) + pages;
    entry.resize((entry.size() + 511) / 512 * 512);
    put32(entry, 4, entry.size());
    put32(entry, 12, 0x101);
    put32(entry, 16, made.grown_size);
    put32(entry, 20, page_count);
    rehash(entry, 0);

    std::string bitmap(made.grown_size / 4096, '\0'), dirty;
    for (std::size_t page = 0; page < made.grown_size / 512; ++page) {
        if (changed(4096 + page * 512, 512)) {
            bitmap[page / 8] = char(bitmap[page / 8] | 1 << page % 8);
            dirty += after.substr(4096 + page * 512, 512);
        }
    }
    std::string old_body = "DIRT" + bitmap;
    old_body.resize((old_body.size() + 511) / 512 * 512);

    made.new_format = make_log(6, entry);
    made.old_format = make_log(1, old_body + dirty);
    made.primary = before;
    set_sequences(made.primary, 0x101, 0x100);
    return made;
}

TEST(HiveRecoveryTest, MadeLogsReplayAGrowingChange) {
    const GrowingChange made = make_growing_change("Grown");
    ASSERT_FALSE(made.after.empty());
    for (const HiveLog &log : {made.new_format, made.old_format}) {
        SCOPED_TRACE(log.name);
        std::string image = made.primary;
        const HiveRecovery result = recover_hive(image, {log});
        EXPECT_EQ(result.state, HiveState::Recovered) << result.reason;
        EXPECT_EQ(result.sequence, 0x101u);
        EXPECT_TRUE(image.compare(4096, std::string::npos, made.after, 4096) == 0);
        const HiveWalk walked = open_and_walk(image);
        EXPECT_TRUE(walked.ok);
        EXPECT_EQ(walked.keys, 2u);
        // A clean hive is left alone whatever the logs hold.
        image = made.before;
        EXPECT_EQ(recover_hive(image, {log}).state, HiveState::Clean);
        EXPECT_TRUE(image == made.before);
    }
}

// The program's road: the hive read from its file (mapped), its logs beside it or given, the
// replay growing it. Afterwards the source file holds the recovered hive, and only it: its bytes,
// the classes read from it and what --recover writes.
TEST(HiveRecoveryTest, AGrowingReplayIsWhatTheSourceFileHoldsAfterwards) {
    const std::string clsid = "{0C0C0C0C-0000-0000-0000-00000000000C}";
    const GrowingChange made = make_growing_change("CLSID\\" + clsid);
    ASSERT_FALSE(made.after.empty());
    const std::size_t recovered_size = 4096 + made.grown_size;
    for (const HiveLog *log : {&made.new_format, &made.old_format}) {
        for (bool beside : {true, false}) {
            SCOPED_TRACE(log->name + (beside ? " beside the hive" : " given"));
            TempDir dir;
            // Room the hive does not use at the file's end, as Windows leaves it: not the hive's.
            const std::string hive =
                dir.write("UsrClass.dat", made.primary + std::string(49152, 'j'));
            const std::string log_path =
                dir.write(beside ? "UsrClass.dat." + log->name : "elsewhere.log", log->bytes);
            SourceOptions options;
            if (!beside)
                options.log_files = {log_path};

            SourceFile image;
            HiveLogsOutcome outcome;
            std::string error;
            ASSERT_TRUE(load_hive_image(hive, options, image, outcome, error)) << error;
            EXPECT_EQ(outcome.state, "recovered");
            EXPECT_EQ(outcome.note, hive + ": dirty, recovered to sequence 257 from " + log_path);
            ASSERT_EQ(image.bytes().size(), recovered_size);
            EXPECT_FALSE(hive_is_dirty(image.bytes()));
            EXPECT_EQ(get32(std::string(image.bytes().substr(0, 512)), 40), made.grown_size);
            EXPECT_TRUE(image.bytes().substr(4096) == std::string_view(made.after).substr(4096));
            EXPECT_EQ(image.descriptor(), -1); // libhivex reads the recovered copy, not the file
            EXPECT_TRUE(open_and_walk(std::string(image.bytes())).ok);

            SourceFile again;
            LoadedHive loaded;
            std::vector<std::string> notes;
            ASSERT_TRUE(read_source_file(hive, again, error)) << error;
            ASSERT_TRUE(read_hive_source(hive, options, again, loaded, notes, error)) << error;
            EXPECT_EQ(loaded.classes.kind, HiveKind::UserClasses);
            ASSERT_EQ(loaded.classes.classes.root->children.size(), 1u);
            const MemoryKey &clsid_key = *loaded.classes.classes.root->children[0];
            ASSERT_EQ(clsid_key.children.size(), 1u);
            EXPECT_EQ(utf16_to_utf8(utf16le_bytes_to_text(clsid_key.children[0]->name)), clsid);
            EXPECT_EQ(notes, std::vector<std::string>{outcome.note});
        }
    }
}

// A clean hive is read in place (mapped, libhivex on its file), and only as far as its base block
// says the hive reaches, however long the file; the same base block facts bound the copy a
// replay makes.
TEST(HiveRecoveryTest, OnlyWhatTheBaseBlockGivesIsTheHive) {
    const GrowingChange made = make_growing_change("Grown");
    ASSERT_FALSE(made.after.empty());
    const std::uint64_t before_size = 4096 + get32(made.before, 40);
    EXPECT_EQ(hive_extent(made.before, before_size + 1000000), before_size);
    EXPECT_EQ(hive_extent(made.before, before_size - 4096), before_size - 4096); // bins cut off
    std::string odd = made.before;
    set_sequences(odd, 1, 1);
    put32(odd, 40, get32(odd, 40) - 100); // not whole pages: rounded up, as libhivex reads it
    put32(odd, 508, hive_header_checksum(reinterpret_cast<unsigned char *>(odd.data())));
    EXPECT_EQ(hive_extent(odd, 1u << 30), before_size);
    odd[508] ^= 1; // a base block that cannot be trusted tells nothing: the whole file
    EXPECT_EQ(hive_extent(odd, 1u << 30), 1u << 30);

    TempDir dir;
    const std::string clean = dir.write("clean", made.before + std::string(1 << 20, '\0'));
    SourceFile image;
    HiveLogsOutcome outcome;
    std::string error;
    ASSERT_TRUE(load_hive_image(clean, {}, image, outcome, error)) << error;
    EXPECT_EQ(outcome.state, "clean");
    EXPECT_EQ(outcome.note, clean + ": clean");
    EXPECT_EQ(image.bytes().size(), before_size);
    EXPECT_GE(image.descriptor(), 0);

    // The copy a replay makes is the recovered hive's size, however long the primary's file.
    std::string recovered;
    const std::string long_primary = made.primary + std::string(1 << 20, 'j');
    EXPECT_EQ(replay_hive_logs(long_primary, {made.new_format}, recovered).state,
              HiveState::Recovered);
    EXPECT_EQ(recovered.size(), 4096 + made.grown_size);
    EXPECT_EQ(recovered.capacity(), recovered.size());

    EXPECT_FALSE(load_hive_image(dir.write("text", "hello"), {}, image, outcome, error));
    EXPECT_EQ(error, dir.path + "/text: not a registry hive (no \"regf\" signature)");
}

// Each --log goes to the hive whose base block its own copy matches; a hive no --log matches keeps
// the logs beside it; a log that matches none, or cannot be told between hives, is an error.
TEST(HiveRecoveryTest, EachGivenLogGoesToItsOwnHive) {
    TempDir dir;
    const std::string usrclass = dir.write("UsrClass.dat", read_xz("UsrClass.dat"));
    const std::string log1 = dir.write("UsrClass.dat.LOG1", read_xz("UsrClass.dat.LOG1"));
    const std::string log2 = dir.write("UsrClass.dat.LOG2", read_xz("UsrClass.dat.LOG2"));
    const GrowingChange made = make_growing_change("Grown");
    ASSERT_FALSE(made.after.empty());
    const std::string software = dir.write("SOFTWARE", made.primary);
    const std::string software_log = dir.write("SOFTWARE.LOG1", made.new_format.bytes);
    const std::string export_file = dir.write("user.reg", "REGEDIT4\n");

    SourceOptions given;
    given.log_files = {log2, log1};
    std::vector<SourceOptions> each;
    std::string error;
    ASSERT_TRUE(match_logs_to_sources({software, export_file, usrclass}, given, each, error))
        << error;
    ASSERT_EQ(each.size(), 3u);
    EXPECT_TRUE(each[0].log_files.empty()); // SOFTWARE keeps its own, beside it
    EXPECT_TRUE(each[1].log_files.empty());
    EXPECT_EQ(each[2].log_files, (std::vector<std::string>{log2, log1}));

    // As the program then reads them: each hive recovered from its own logs.
    for (std::size_t i : {0, 2}) {
        const std::string &path = i == 0 ? software : usrclass;
        SourceFile image;
        HiveLogsOutcome outcome;
        ASSERT_TRUE(load_hive_image(path, each[i], image, outcome, error)) << error;
        EXPECT_EQ(outcome.note,
                  i == 0
                      ? software + ": dirty, recovered to sequence 257 from " + software_log
                      : usrclass + ": dirty, recovered to sequence 300 from " + log1 + ", " + log2);
    }

    // No --log: every hive keeps the logs beside it; --no-logs: the logs are not looked at.
    ASSERT_TRUE(match_logs_to_sources({software, usrclass}, {}, each, error)) << error;
    EXPECT_TRUE(each[0].log_files.empty() && each[1].log_files.empty());
    SourceOptions no_logs = given;
    no_logs.use_logs = false;
    no_logs.log_files.push_back(dir.path + "/missing");
    EXPECT_TRUE(match_logs_to_sources({software}, no_logs, each, error)) << error;

    // A log that is no hive's: an error naming it and the file its base block names.
    EXPECT_FALSE(match_logs_to_sources({software, export_file}, given, each, error));
    EXPECT_EQ(error, log2 + ": the log of none of the hives given (its base block names "
                            "\\Microsoft\\Windows\\UsrClass.dat)");
    EXPECT_FALSE(match_logs_to_sources({export_file}, given, each, error));
    EXPECT_EQ(error, log2 + ": given with --log, but no SOURCE is a hive");
    SourceOptions missing;
    missing.log_files = {dir.path + "/missing"};
    EXPECT_FALSE(match_logs_to_sources({software}, missing, each, error));
    EXPECT_EQ(error.rfind(dir.path + "/missing: ", 0), 0u) << error;

    // Two hives whose base blocks are alike (no name, no GUIDs): their logs cannot be told apart.
    const std::string other = dir.write("other", made.primary);
    SourceOptions software_logs;
    software_logs.log_files = {software_log};
    EXPECT_FALSE(match_logs_to_sources({software, other}, software_logs, each, error));
    EXPECT_EQ(error, software_log + ": could be the log of " + software + " or of " + other +
                         " (their base blocks are alike); give each hive in a run of its own");
    // A log whose base block is damaged goes to the one hive given, whose replay skips it.
    std::string damaged = made.new_format.bytes;
    damaged[100] ^= 1;
    SourceOptions damaged_log;
    damaged_log.log_files = {dir.write("damaged.LOG1", damaged)};
    ASSERT_TRUE(match_logs_to_sources({software}, damaged_log, each, error)) << error;
    EXPECT_EQ(each[0].log_files, damaged_log.log_files);
    EXPECT_FALSE(match_logs_to_sources({software, usrclass}, damaged_log, each, error));
    EXPECT_EQ(error.rfind(damaged_log.log_files[0] + ": its base block is damaged", 0), 0u)
        << error;

    // The GUIDs of Windows 8.1 and later tell apart two hives of one name (two users' classes).
    std::string header = read_xz("UsrClass.dat").substr(0, 512),
                log_header = read_xz("UsrClass.dat.LOG1");
    EXPECT_TRUE(log_belongs_to_hive(log_header, header));
    header[0x70] ^= 1;
    EXPECT_FALSE(log_belongs_to_hive(log_header, header));
    std::fill(header.begin() + 0x70, header.begin() + 0x80, '\0'); // carried by one only
    EXPECT_TRUE(log_belongs_to_hive(log_header, header));
    header[0x31] ^= 1; // the file name
    EXPECT_FALSE(log_belongs_to_hive(log_header, header));
}

// A dirty hive whose logs cannot be read (a FIFO, a device in their place): an error naming the
// log, at once; one line for a hive that cannot be read, with what its logs did.
TEST(HiveRecoveryTest, UnreadableLogsAndHivesAreOneLineErrors) {
    const GrowingChange made = make_growing_change("Grown");
    ASSERT_FALSE(made.after.empty());
    TempDir dir;
    const std::string hive = dir.write("NTUSER.DAT", made.primary);
    const std::string fifo = dir.path + "/NTUSER.DAT.LOG1";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SourceFile image;
    HiveLogsOutcome outcome;
    std::string error;
    EXPECT_FALSE(load_hive_image(hive, {}, image, outcome, error));
    EXPECT_EQ(error, fifo + ": a FIFO, not a regular file; clsid-scan reads only files");
    std::remove(fifo.c_str());
    ASSERT_EQ(symlink("/dev/zero", fifo.c_str()), 0);
    EXPECT_FALSE(load_hive_image(hive, {}, image, outcome, error));
    EXPECT_EQ(error,
              fifo + ": a character device, not a regular file; clsid-scan reads only files");
    std::remove(fifo.c_str());

    // The hive is dirty, has no logs, and cannot be read: one line says both.
    std::string broken = made.primary;
    put32(broken, 36, 0x7FFFFFF0); // the root cell lies nowhere
    set_sequences(broken, 0x101, 0x100);
    dir.write("NTUSER.DAT", broken);
    ASSERT_TRUE(read_source_file(hive, image, error)) << error;
    LoadedHive loaded;
    std::vector<std::string> notes;
    EXPECT_FALSE(read_hive_source(hive, {}, image, loaded, notes, error));
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(error.rfind(hive + ": ", 0), 0u) << error;
    EXPECT_NE(error.find("; dirty, not recovered (no transaction logs)"), std::string::npos)
        << error;
}

} // namespace
