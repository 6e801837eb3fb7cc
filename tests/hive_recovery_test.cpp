// Unit tests of the hive log replay: the real UsrClass.dat trio, damaged copies of it, and logs
// made here from a change that libhivex writes into a small hive.
#include "evidence/hive_recovery.h"
#include "evidence/marvin32.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

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

// A change libhivex makes to the minimal hive (a new key whose value needs a second bin),
// carried by a new-format and by an old-format log.
TEST(HiveRecoveryTest, MadeLogsReplayAGrowingChange) {
    TempDir dir;
    const std::string before = read_file(DATA_DIR + "minimal.hive");
    hive_h *hive = hivex_open(dir.write("before", before).c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(hive, nullptr);
    const std::string data(6000, 'x');
    hive_set_value value{const_cast<char *>("Data"), hive_t_REG_BINARY, data.size(),
                         const_cast<char *>(data.data())};
    const hive_node_h grown = hivex_node_add_child(hive, hivex_root(hive), "Grown");
    ASSERT_EQ(hivex_node_set_value(hive, grown, &value, 0), 0);
    ASSERT_EQ(hivex_commit(hive, (dir.path + "/after").c_str(), 0), 0);
    hivex_close(hive);
    const std::string after = read_file(dir.path + "/after");
    const std::uint32_t grown_size = get32(after, 40);
    ASSERT_EQ(after.size(), 4096 + grown_size);
    ASSERT_GT(grown_size, get32(before, 40));

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
    put32(entry, 16, grown_size);
    put32(entry, 20, page_count);
    rehash(entry, 0);

    std::string bitmap(grown_size / 4096, '\0'), dirty;
    for (std::size_t page = 0; page < grown_size / 512; ++page) {
        if (changed(4096 + page * 512, 512)) {
            bitmap[page / 8] = char(bitmap[page / 8] | 1 << page % 8);
            dirty += after.substr(4096 + page * 512, 512);
        }
    }
    std::string old_body = "DIRT" + bitmap;
    old_body.resize((old_body.size() + 511) / 512 * 512);

    std::string primary = before;
    set_sequences(primary, 0x101, 0x100);
    for (const HiveLog &log : {make_log(6, entry), make_log(1, old_body + dirty)}) {
        SCOPED_TRACE(log.name);
        std::string image = primary;
        const HiveRecovery result = recover_hive(image, {log});
        EXPECT_EQ(result.state, HiveState::Recovered) << result.reason;
        EXPECT_EQ(result.sequence, 0x101u);
        EXPECT_TRUE(image.compare(4096, std::string::npos, after, 4096) == 0);
        const HiveWalk walked = open_and_walk(image);
        EXPECT_TRUE(walked.ok);
        EXPECT_EQ(walked.keys, 2u);
        // A clean hive is left alone whatever the logs hold.
        image = before;
        EXPECT_EQ(recover_hive(image, {log}).state, HiveState::Clean);
        EXPECT_TRUE(image == before);
    }
}

} // namespace
