// Finding ids and allowlists: the server text ids compare, the bytes they digest, and what an
// allowlist entry matches.
#include "clsidscan/finding_filter.h"
#include "clsidscan/finding_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unordered_map>

namespace {

Environment user_environment(const char *name, const char *profile) {
    Environment environment = machine_environment();
    add_user_environment(environment, name, profile);
    return environment;
}

ClassServer inproc(const char *text, ValueType type = ValueType::String) {
    return ClassServer{{text, type == ValueType::ExpandString}, ServerKind::InProcess};
}

std::string write_file(const std::string &name, const std::string &bytes) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

TEST(FindingIds, OneRegistrationInTwoProfilesHasOneServerText) {
    Environment alice = user_environment("alice", "C:\\Users\\alice");
    Environment bob = user_environment("bob", "C:\\Users\\Bob");
    const std::string expected = "%userprofile%\\appdata\\roaming\\evil.dll";
    EXPECT_EQ(id_server_text(inproc("%APPDATA%\\evil.dll", ValueType::ExpandString),
                             Bitness::Bits64, alice),
              expected);
    EXPECT_EQ(
        id_server_text(inproc("C:\\USERS\\BOB\\AppData\\Roaming\\evil.dll"), Bitness::Bits64, bob),
        expected);
    // As a .reg holds it, unexpanded, with no user known.
    EXPECT_EQ(id_server_text(inproc("%USERPROFILE%\\AppData\\Roaming\\evil.dll"), Bitness::Bits64,
                             machine_environment()),
              expected);
    // A profile whose name another begins with is not taken for it.
    EXPECT_EQ(id_server_text(inproc("C:\\Users\\alice2\\x.dll"), Bitness::Bits64, alice),
              "c:\\users\\alice2\\x.dll");
    // A quoted command line, and a REG_SZ, which Windows does not expand.
    EXPECT_EQ(id_server_text(ClassServer{{"\"C:\\Users\\alice\\a.exe\" -Embedding", false},
                                         ServerKind::CommandLine},
                             Bitness::Bits32, alice),
              "\"%userprofile%\\a.exe\" -embedding");
    EXPECT_EQ(id_server_text(inproc("%SystemRoot%\\x.dll"), Bitness::Bits64, alice),
              "%systemroot%\\x.dll");
    // The 32-bit view expands ProgramFiles as WOW64 gives it.
    EXPECT_EQ(id_server_text(inproc("%ProgramFiles%\\x.dll", ValueType::ExpandString),
                             Bitness::Bits32, machine_environment()),
              "c:\\program files (x86)\\x.dll");
}

TEST(FindingIds, TheDigestedBytesAreLengthPrefixedAndDocumented) {
    std::string text =
        finding_id_text("bare", "64", "machine", "{5d7092b4-ce65-40b1-9255-4dae6f80a105}",
                        "c:\\users\\public\\libraries\\zqpwtn.dll");
    EXPECT_EQ(text, "4:bare2:647:machine38:{5D7092B4-CE65-40B1-9255-4DAE6F80A105}36:c:\\users\\"
                    "public\\libraries\\zqpwtn.dll");
    // The README's worked example, computed apart from this code (Python's hashlib).
    EXPECT_EQ(id_digest(text), "49535d5e49d7204f");
    EXPECT_NE(finding_id_text("bare", "64", "user", "{K}", "ab"),
              finding_id_text("bare", "64", "user", "{K}a", "b"));
    std::uint64_t id = 0;
    ASSERT_TRUE(parse_id("FD5E1E0AC16038C1", id));
    EXPECT_EQ(id_hex(id), "fd5e1e0ac16038c1");
    EXPECT_FALSE(parse_id("fd5e1e0ac16038c", id));
    EXPECT_FALSE(parse_id("fd5e1e0ac16038cg", id));
}

TEST(Allowlist, EntriesAndWhatTheyMatch) {
    std::string path =
        write_file("allow.txt", "# known good\n"
                                "  fd5e1e0ac16038c1\r\n"
                                "\n"
                                "{K1}\n"
                                "{k2}   C:\\Program Files\\Vendor\\*.DLL\n"
                                "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C"
                                "15B0F00A08\n");
    std::vector<AllowEntry> entries;
    std::string error;
    ASSERT_TRUE(read_allowlist(path, entries, error)) << error;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].kind, AllowEntry::Kind::Id);
    EXPECT_EQ(entries[0].line, 2u);
    EXPECT_EQ(entries[2].value, "{K2}");
    EXPECT_EQ(entries[2].pattern, "c:\\program files\\vendor\\*.dll");

    std::string sha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    FindingFacts finding{0xfd5e1e0ac16038c1, "{k1}", "c:\\program files\\vendor\\a.dll", ""};
    EXPECT_TRUE(allow_entry_matches(entries[0], finding));
    EXPECT_TRUE(allow_entry_matches(entries[1], finding));
    EXPECT_FALSE(allow_entry_matches(entries[2], finding)); // another key
    EXPECT_FALSE(allow_entry_matches(entries[3], finding)); // no file hashed
    FindingFacts other{1, "{K2}", "c:\\program files\\vendor\\sub\\b.dll", sha};
    EXPECT_TRUE(allow_entry_matches(entries[2], other)); // * crosses folders
    EXPECT_TRUE(allow_entry_matches(entries[3], other));
    other.server = "c:\\program files\\vendor\\b.dll.bak";
    EXPECT_FALSE(allow_entry_matches(entries[2], other)); // the whole server must match

    const std::string bad_lists[] = {"fd5e1e0ac16038c1 trailing\n",
                                     std::string("\xFF\xFE{\0K\0", 6), // UTF-16
                                     std::string("{K}\0\n", 5)};
    for (const std::string &bad : bad_lists) {
        std::vector<AllowEntry> none;
        EXPECT_FALSE(read_allowlist(write_file("bad.txt", bad), none, error)) << bad;
        EXPECT_EQ(error.rfind(::testing::TempDir() + "bad.txt", 0), 0u) << error;
    }
}

TEST(Allowlist, PatternsMatchWholeAndNeverBlowUp) {
    EXPECT_TRUE(matches_pattern("*", ""));
    EXPECT_TRUE(matches_pattern("a*b?d", "axxbcd"));
    EXPECT_FALSE(matches_pattern("a*b?d", "axxbd"));
    EXPECT_TRUE(matches_pattern("*.dll", "c:\\x.dll"));
    EXPECT_FALSE(matches_pattern("*.dll", "c:\\x.dll.exe"));
    // Many stars over a long near miss: the greedy walk stays quadratic at worst.
    std::string text(20000, 'a');
    EXPECT_FALSE(matches_pattern("*a*a*a*a*a*a*a*a*b", text));
}

namespace {

// An allowlist of `size` entries of each kind: ids, SHA-256s, keys with a pattern, and one key
// with many literal servers and many patterns.
std::string allowlist_of(std::size_t size) {
    std::string text;
    char line[256];
    for (std::size_t i = 0; i < size; i++) {
        std::snprintf(line, sizeof line, "a%015zx\n%064zx\n{P%zu} c:\\vendor%zu\\*.dll\n", i, i, i,
                      i);
        text += line;
        std::snprintf(line, sizeof line, "{Q} c:\\q%zu\\*.dll\n{q} C:\\LIT%zu.DLL\n", i, i);
        text += line;
    }
    return text;
}

} // namespace

TEST(Allowlist, AFindingIsComparedWithTheEntriesThatCanMatchItAlone) {
    std::uint64_t compared[2];
    for (std::size_t size : {100u, 10000u}) {
        FindingFilter filter;
        std::string error;
        ASSERT_TRUE(read_allowlists(
            {write_file("small.txt", "{Q}\n"), write_file("large.txt", allowlist_of(size))}, filter,
            error))
            << error;
        std::string sha = std::string(62, '0') + "2a";
        const FindingFacts findings[] = {
            {0xa000000000000005, "{X}", "c:\\x.dll", ""}, {7, "{p3}", "c:\\vendor3\\x.dll", ""},
            {8, "{P3}", "c:\\vendor4\\x.dll", ""},        {9, "{Y}", "c:\\y.dll", sha},
            {10, "{q}", "c:\\q17\\sub\\a.dll", ""},       {11, "{Q}", "c:\\lit42.dll", ""},
            {0xb000000000000005, "{Z}", "c:\\z.dll", ""}};
        std::vector<bool> allowed;
        for (const FindingFacts &finding : findings)
            allowed.push_back(allow_finding(filter, finding, true));
        EXPECT_EQ(allowed, (std::vector<bool>{true, true, false, true, true, true, false}));
        EXPECT_EQ(filter.allowed[0], 2u); // {Q} alone, in the first list, counts both of its
        EXPECT_EQ(filter.allowed[1], 3u);
        EXPECT_TRUE(filter.matched[1][5 * 17 + 3]); // {Q} c:\q17\*.dll
        EXPECT_FALSE(filter.matched[1][5 * 18 + 3]);
        compared[size == 100 ? 0 : 1] = filter.entries_compared;
    }
    EXPECT_EQ(compared[0], compared[1]);
}

TEST(FindingIds, IdsChosenToShareABucketAreSpreadOverThem) {
    // Multiples of the bucket count all fall into one bucket when ids hash to themselves.
    for (std::uint64_t count : {1000u, 50000u}) {
        std::unordered_map<std::uint64_t, int, IdHash> table;
        table.reserve(count);
        std::uint64_t buckets = table.bucket_count();
        std::size_t longest = 0;
        for (std::uint64_t i = 1; i <= count; i++)
            table.emplace(i * buckets, 0);
        ASSERT_EQ(table.bucket_count(), buckets);
        for (std::size_t bucket = 0; bucket < buckets; bucket++)
            longest = std::max(longest, table.bucket_size(bucket));
        EXPECT_LE(longest, 16u) << count;
    }
}
