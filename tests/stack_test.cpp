// Stacking's parts: the member sets that count machines and users, and reading JSON Lines back in
// parts that meet at any byte.
#include "clsidscan/findings_json.h"
#include "clsidscan/stack.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <set>

namespace {

std::string finding_line(unsigned n) {
    char id[17];
    std::snprintf(id, sizeof id, "%016x", n);
    return std::string("{\"machine\":\"pc") + std::to_string(n % 7) + "\",\"user\":null,\"id\":\"" +
           id +
           "\",\"sources\":[\"a\"],\"side\":\"user\",\"view\":64,\"rule\":\"bare\",\"key\":\"{K" +
           std::to_string(n) + "}\",\"description\":\"d\\u00e9\",\"server\":\"C:\\\\x.dll\"," +
           "\"file\":{\"path\":\"x\",\"sha256\":null}}";
}

std::string write_file(const std::string &name, const std::string &bytes) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    return text.replace(text.find(from), from.size(), to);
}

bool read_part(const std::string &path, std::uint64_t begin, std::uint64_t end,
               std::vector<std::uint64_t> &ids, std::string &error) {
    return read_finding_lines(
        path, begin, end,
        [&](const FindingLine &line, std::string &) {
            ids.push_back(line.id);
            return true;
        },
        error);
}

} // namespace

TEST(Stack, MemberSetsCountLikeASetAcrossTheSwitchToABitmap) {
    std::mt19937 random(7);
    for (std::uint32_t universe : {10u, 500u, 5000u}) {
        MemberSet members;
        std::set<std::uint32_t> expected;
        for (int i = 0; i < 4000; i++) {
            // Mostly rising, as the lines of one machine after another come, with some going back.
            std::uint32_t member =
                i % 5 == 0 ? random() % universe : static_cast<std::uint32_t>(i) % universe;
            members.insert(member, universe);
            expected.insert(member);
            ASSERT_EQ(members.size(), expected.size()) << universe << " " << i;
        }
        EXPECT_EQ(members.members(), std::vector<std::uint32_t>(expected.begin(), expected.end()));
    }
}

TEST(Stack, MemberSetsTakeMembersInAnyOrderInLinearWork) {
    // Each number going before all the others: a sorted list would move all of them each time.
    std::uint64_t work[2];
    for (std::uint32_t count : {2000u, 20000u}) {
        MemberSet members;
        for (std::uint32_t member = count; member-- > 0;)
            members.insert(member * 2, UINT32_MAX);
        members.insert(count, UINT32_MAX); // there already
        ASSERT_EQ(members.size(), count);
        std::vector<std::uint32_t> all = members.members();
        ASSERT_TRUE(std::is_sorted(all.begin(), all.end()));
        work[count == 2000 ? 0 : 1] = members.work();
    }
    EXPECT_LT(work[1], 20 * work[0]) << work[0] << " " << work[1]; // not 100 times
}

TEST(Stack, PartsMeetingAtAnyByteReadEachLineOnce) {
    std::string text = "\xEF\xBB\xBF";
    std::vector<std::uint64_t> all;
    for (unsigned n = 0; n < 12; n++) {
        text += finding_line(n) + (n % 3 == 0 ? "\r\n" : n == 5 ? "\n\n" : "\n");
        all.push_back(n);
    }
    std::string path = write_file("parts.jsonl", text);
    for (std::uint64_t cut = 0; cut <= text.size(); cut++) {
        std::vector<std::uint64_t> ids;
        std::string error;
        ASSERT_TRUE(read_part(path, 0, cut, ids, error)) << error;
        ASSERT_TRUE(read_part(path, cut, UINT64_MAX, ids, error)) << error;
        ASSERT_EQ(ids, all) << "cut at " << cut;
    }
}

TEST(Stack, ALineThatIsNotAFindingIsNamedByFileAndLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"id\":\"0000000000000001\"}", "no \"rule\""},
        {"[1]", "not a JSON object"},
        {"{\"id\":\"zz\"", "not JSON"},
        {finding_line(1) + " {}", "not JSON"},
        {finding_line(1).replace(finding_line(1).find("\"view\":64"), 9, "\"view\":\"64\""),
         "\"view\" is not what clsid-scan writes there"},
        {std::string(finding_line(1)).erase(finding_line(1).find("\"id\""), 24),
         "no \"id\" (not clsid-scan JSON Lines, or written before findings had ids)"},
    };
    for (const auto &[bad, why] : cases) {
        std::string text;
        for (unsigned n = 0; n < 5; n++)
            text += finding_line(n) + "\n";
        std::string path = write_file("bad.jsonl", text + bad + "\n" + finding_line(9) + "\n");
        std::vector<std::uint64_t> ids;
        std::string error;
        EXPECT_FALSE(read_part(path, 0, UINT64_MAX, ids, error)) << bad;
        EXPECT_EQ(error, path + ":6: " + why);
        // A part that starts further on still names the line of the whole file.
        ids.clear();
        EXPECT_FALSE(read_part(path, text.size() - 3, UINT64_MAX, ids, error));
        EXPECT_EQ(error, path + ":6: " + why);
    }
    std::vector<std::uint64_t> ids;
    std::string error;
    std::string utf16 = write_file("utf16.jsonl", std::string("\xFF\xFE{\0}\0", 6));
    EXPECT_FALSE(read_part(utf16, 0, UINT64_MAX, ids, error));
    EXPECT_EQ(error.rfind(utf16 + ":1: UTF-16 text", 0), 0u) << error;
}

TEST(Stack, EveryLineClsidScanWritesReadsBack) {
    std::string line = finding_line(1);
    std::string scored = line.substr(0, line.size() - 1) + ",\"score\":1e999,\"low\":[-1e999]}";
    // The number is read in place of the infinity only outside strings.
    std::string in_text = replaced(line, "d\\u00e9", "x:1e999,");
    // A description of 6 MB of control characters, each written \u00NN.
    std::string escaped;
    for (int i = 0; i < 3000000; i++)
        escaped += "\\u0001";
    std::string longest = replaced(line, "d\\u00e9", escaped);
    std::string path = write_file("readback.jsonl", scored + "\n" + in_text + "\n" + longest);
    std::vector<std::string> descriptions;
    std::string error;
    EXPECT_TRUE(read_finding_lines(
        path, 0, UINT64_MAX,
        [&](const FindingLine &read, std::string &) {
            descriptions.emplace_back(read.description);
            return true;
        },
        error))
        << error;
    ASSERT_EQ(descriptions.size(), 3u);
    EXPECT_EQ(descriptions[1], "x:1e999,");
    EXPECT_EQ(descriptions[2], std::string(3000000, '\x01'));
    // Parts inside the long line hold no line, and the part it starts in holds it.
    std::uint64_t start = scored.size() + in_text.size() + 2;
    std::vector<std::uint64_t> ids;
    for (std::uint64_t begin : {start + 1, start + (std::uint64_t(5) << 20)})
        EXPECT_TRUE(read_part(path, begin, begin + (std::uint64_t(1) << 20), ids, error)) << error;
    EXPECT_TRUE(ids.empty());
    EXPECT_TRUE(read_part(path, start - 1, start + 1, ids, error)) << error;
    EXPECT_EQ(ids, std::vector<std::uint64_t>{1});
}

TEST(Stack, MachinesAndUsersAreTheirExactBytes) {
    // A name that is not UTF-8 is written as U+FFFD with its bytes in hex: "\xff" is not "ff".
    std::string plain = replaced(finding_line(1), "\"pc1\"", "\"ff\"");
    std::string hex =
        replaced(finding_line(1), "\"pc1\"", "\"\xEF\xBF\xBD\",\"machine_hex\":\"ff\"");
    hex = replaced(hex, "\"user\":null", "\"user\":\"\\ufffd\",\"user_hex\":\"6100\"");
    std::string path = write_file("hex.jsonl", plain + "\n" + hex + "\n");
    std::vector<std::pair<std::string, std::string>> names;
    std::string error;
    EXPECT_TRUE(read_finding_lines(
        path, 0, UINT64_MAX,
        [&](const FindingLine &read, std::string &) {
            names.emplace_back(read.machine, read.has_user ? read.user : "(none)");
            return true;
        },
        error))
        << error;
    EXPECT_EQ(names, (std::vector<std::pair<std::string, std::string>>{
                         {"ff", "(none)"}, {"\xFF", std::string("a\0", 2)}}));
    std::string odd = write_file("odd.jsonl", replaced(hex, "\"ff\"", "\"f\"") + "\n");
    EXPECT_FALSE(read_finding_lines(
        odd, 0, UINT64_MAX, [](const FindingLine &, std::string &) { return true; }, error));
    EXPECT_EQ(error, odd + ":1: \"machine_hex\" is not what clsid-scan writes there");
}

TEST(Stack, WhatIsNotARegularFileIsAnErrorNamingIt) {
    std::string fifo = ::testing::TempDir() + "stack.fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {std::string("/proc/self/status"), fifo, ::testing::TempDir()}) {
        std::vector<std::uint64_t> ids;
        std::string error;
        EXPECT_FALSE(read_part(path, 0, UINT64_MAX, ids, error)) << path;
        EXPECT_EQ(error.rfind(path, 0), 0u) << error;
    }
    unlink(fifo.c_str());
}
