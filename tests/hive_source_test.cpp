// Unit tests of reading classes out of hive images: kinds, exact data, damaged and hostile hives.
#include "hive/hive_source.h"
#include "registry/code_page.h"
#include "tests/hive_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include <sys/mman.h>

namespace {

const std::string REAL_HIVES =
    std::filesystem::path(__FILE__).parent_path().string() + "/data/real-hives/";

const std::string CLASS_A = "{0A0A0A0A-0000-0000-0000-00000000000A}";
const std::string CLASS_B = "{0B0B0B0B-0000-0000-0000-00000000000B}";

std::u16string u16(const std::string &ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string text(const std::string &stored) {
    return utf16le_bytes_to_text(stored);
}

// Names of the children of `key`, joined with '|'.
std::u16string child_names(const MemoryKey &key) {
    std::u16string names;
    for (const auto &child : key.children)
        names += (names.empty() ? u"" : u"|") + text(child->name);
    return names;
}

// The classes root read, and the subkey at `index` of a key.
const MemoryKey &root(const HiveClasses &hive) {
    return *hive.classes.root;
}
const MemoryKey &subkey(const MemoryKey &key, std::size_t index) {
    return *key.children.at(index);
}

std::string read_xz(const std::string &name) {
    std::string bytes;
    FILE *pipe = popen(("xz -dc '" + REAL_HIVES + name + ".xz' 2>/dev/null").c_str(), "r");
    char buffer[1 << 16];
    for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        bytes.append(buffer, n);
    if (pipe != nullptr)
        pclose(pipe);
    return bytes;
}

TEST(HiveSource, RecognisesEachKindAndKeepsOnlyTheClassSubtrees) {
    std::string image = make_hive({
        {"Classes\\.txt", {{"", 1, reg_sz_data(u"txtfile")}}},
        {"Classes\\CLSID\\" + CLASS_B + "\\InprocServer32", {{"", 2, reg_sz_data(u"b.dll")}}},
        {"Classes\\CLSID\\" + CLASS_A, {{"", 1, reg_sz_data(u"A")}}},
        {"Classes\\Wow6432Node\\CLSID\\" + CLASS_A, {}},
        {"Classes\\Wow6432Node\\Interface\\" + CLASS_B, {}},
        {"Microsoft\\Windows", {}},
    });
    HiveClasses hive;
    std::string error;
    ASSERT_TRUE(read_hive_classes("SOFTWARE", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::Software);
    EXPECT_EQ(hive_classes_side(hive.kind), ClassesSide::Machine);
    EXPECT_TRUE(hive.warnings.empty());
    EXPECT_EQ(root(hive).name, "");
    EXPECT_EQ(child_names(root(hive)), u"CLSID|Wow6432Node");
    const MemoryKey &clsid = subkey(root(hive), 0);
    EXPECT_EQ(child_names(clsid), u16(CLASS_A + "|" + CLASS_B));
    EXPECT_EQ(child_names(subkey(clsid, 1)), u"InprocServer32");
    ASSERT_EQ(subkey(subkey(clsid, 1), 0).values.size(), 1u);
    EXPECT_EQ(subkey(subkey(clsid, 1), 0).values[0].type, 2u);
    EXPECT_EQ(child_names(subkey(root(hive), 1)), u"CLSID");
    EXPECT_EQ(child_names(subkey(subkey(root(hive), 1), 0)), u16(CLASS_A));

    // UsrClass.dat: classes at the root, its own spelling kept; names compared without case.
    image = make_hive({{"clsid\\" + CLASS_A, {}},
                       {"WOW6432Node\\CLSID\\" + CLASS_B, {}},
                       {"Local Settings\\Software", {}},
                       {"*\\shell", {}}});
    ASSERT_TRUE(read_hive_classes("UsrClass.dat", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::UserClasses);
    EXPECT_EQ(hive_classes_side(hive.kind), ClassesSide::User);
    EXPECT_EQ(child_names(root(hive)), u"clsid|WOW6432Node");
    image = make_hive({{"Local Settings\\Software", {}}});
    ASSERT_TRUE(read_hive_classes("UsrClass.dat", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::UserClasses);
    EXPECT_TRUE(root(hive).children.empty());

    // NTUSER.DAT, with and without classes.
    image = make_hive({{"Software\\Classes\\CLSID\\" + CLASS_A, {}}, {"Environment", {}}});
    ASSERT_TRUE(read_hive_classes("NTUSER.DAT", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::NtUser);
    EXPECT_EQ(child_names(subkey(root(hive), 0)), u16(CLASS_A));
    image = make_hive({{"Software\\Microsoft", {}}, {"Environment", {}}});
    ASSERT_TRUE(read_hive_classes("NTUSER.DAT", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::NtUser);
    EXPECT_TRUE(root(hive).children.empty());
    EXPECT_TRUE(hive.warnings.empty());

    // A SYSTEM hive, and no hive at all.
    image = make_hive({{"ControlSet001\\Services", {}}, {"Select", {}}});
    EXPECT_FALSE(read_hive_classes("SYSTEM", image, hive, error));
    EXPECT_EQ(error, "SYSTEM: not a SOFTWARE, UsrClass.dat or NTUSER.DAT hive");
    EXPECT_TRUE(looks_like_hive(image.substr(0, 4)));
    EXPECT_FALSE(looks_like_hive("reg"));
}

TEST(HiveSource, KeepsDataAndNamesExactlyAsStored) {
    std::string big(40000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 256);
    const std::string key = "Classes\\CLSID\\" + CLASS_A;
    std::string image = make_hive({
        {key,
         {{"", 1, utf16le_data(u"no terminator")},
          {"odd", 1, std::string("a\0b", 3)},
          {"dword", 4, std::string("\x01\x02\x03\x04", 4)},
          {"empty", 3, ""},
          {"big", 3, big},
          {"Wert \xc3\xa4", 0x12345678, "x"},
          {"\xd0\xb7\xd0\xbd\xd0\xb0\xd1\x87", 1, reg_sz_data(u"\u0436")}}},
        {key + "\\\xc3\x9cnic\xc3\xb6"
               "de",
         {}},                                             // Latin-1: stored one byte a letter
        {key + "\\\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87", {}}, // Cyrillic: stored as UTF-16LE
    });
    // The big data really sits in a 'db' cell.
    std::size_t big_record = find_value_record(image, key, "big");
    ASSERT_NE(big_record, 0u);
    EXPECT_EQ(image.substr(HIVE_BINS_START + image_u32(image, big_record + 8) + 4, 2), "db");
    // A UTF-16 name with an unpaired surrogate, which the system accepts and libhivex cannot
    // convert to UTF-8.
    std::size_t cyrillic = find_key_record(image, key + "\\\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87");
    ASSERT_NE(cyrillic, 0u);
    image[cyrillic + 76] = '\x00';
    image[cyrillic + 77] = '\xD8';

    HiveClasses hive;
    std::string error;
    ASSERT_TRUE(read_hive_classes("SOFTWARE", image, hive, error)) << error;
    EXPECT_TRUE(hive.warnings.empty());
    const MemoryKey &a = subkey(subkey(root(hive), 0), 0);
    ASSERT_EQ(a.values.size(), 7u);
    EXPECT_EQ(a.values[0].name, "");
    EXPECT_EQ(a.values[0].data, utf16le_data(u"no terminator"));
    EXPECT_EQ(a.values[1].data, std::string("a\0b", 3));
    EXPECT_EQ(a.values[2].type, 4u);
    EXPECT_EQ(a.values[2].data, std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(a.values[3].data, "");
    EXPECT_EQ(a.values[4].data, big);
    EXPECT_EQ(text(a.values[5].name), u"Wert \u00e4");
    EXPECT_EQ(a.values[5].type, 0x12345678u);
    EXPECT_EQ(text(a.values[6].name), u"\u0437\u043d\u0430\u0447");
    EXPECT_EQ(a.values[6].data, reg_sz_data(u"\u0436"));
    EXPECT_EQ(child_names(a), u"\u00dcnic\u00f6de|\xD800\u043b\u044e\u0447");
}

TEST(HiveSource, HostileStructureCostsLittleAndSparesTheRest) {
    const std::string clsid = "Classes\\CLSID\\";
    std::string deep = "Classes\\CLSID\\" + CLASS_B;
    for (int i = 0; i < 600; ++i)
        deep += "\\k";
    std::string image = make_hive({
        {clsid + CLASS_A + "\\Sub\\Leaf", {}},
        {clsid + CLASS_A + "\\Sub", {{"", 1, reg_sz_data(u"kept")}}},
        {clsid + CLASS_A, {{"", 1, reg_sz_data(u"A")}, {"more", 1, "x"}}},
        {deep, {}},
        {clsid + "{0C}\\x", {}},
        {clsid + "{0C}\\y", {}},
        {clsid + "{0C}\\z", {}},
        {clsid + "{0D}\\w", {}},
    });
    // {0C}'s subkeys renamed out of order and to a name it has already (x, X, a).
    image[find_key_record(image, clsid + "{0C}\\y") + 76] = 'X';
    image[find_key_record(image, clsid + "{0C}\\z") + 76] = 'a';
    // Sub's subkey entry is made to lead back to CLSID; A claims 2^31 values; {0C} claims more
    // subkeys than libhivex lists (its list counts); {0D}'s subkey list is no list.
    std::size_t sub = find_key_record(image, clsid + CLASS_A + "\\Sub");
    std::size_t clsid_cell = find_key_record(image, "Classes\\CLSID") - 4 - HIVE_BINS_START;
    ASSERT_NE(sub, 0u);
    set_image_u32(image, HIVE_BINS_START + image_u32(image, sub + NK_SUBKEY_LIST) + 8,
                  std::uint32_t(clsid_cell));
    set_image_u32(image, find_key_record(image, clsid + CLASS_A) + NK_VALUE_COUNT, 0x80000000);
    set_image_u32(image, find_key_record(image, clsid + "{0C}") + NK_SUBKEY_COUNT, 70001);
    std::size_t d = find_key_record(image, clsid + "{0D}");
    image.replace(HIVE_BINS_START + image_u32(image, d + NK_SUBKEY_LIST) + 4, 2, "zz");

    auto start = std::chrono::steady_clock::now();
    HiveClasses hive;
    std::string error;
    ASSERT_TRUE(read_hive_classes("hostile", image, hive, error)) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    const MemoryKey &classes = subkey(root(hive), 0);
    ASSERT_EQ(child_names(classes), u"{0A0A0A0A-0000-0000-0000-00000000000A}|"
                                    u"{0B0B0B0B-0000-0000-0000-00000000000B}|{0C}|{0D}");
    EXPECT_TRUE(subkey(classes, 0).values.empty());
    EXPECT_EQ(child_names(subkey(classes, 0)), u"Sub");
    EXPECT_EQ(subkey(subkey(classes, 0), 0).values.size(), 1u);
    EXPECT_TRUE(subkey(subkey(classes, 0), 0).children.empty());
    EXPECT_EQ(child_names(subkey(classes, 2)), u"a|x"); // sorted, the first "x" kept
    std::size_t depth = 0;
    for (const MemoryKey *k = &subkey(classes, 1); !k->children.empty(); k = k->children[0].get())
        ++depth;
    EXPECT_EQ(depth, 509u); // with Classes, CLSID and the class: 512 levels below the root

    std::string all;
    for (const std::string &warning : hive.warnings)
        all += warning + "\n";
    EXPECT_NE(all.find("hostile: key Classes\\CLSID\\" + CLASS_A + ": its values cannot be read"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("Sub: a subkey entry leads back to a key already read (a loop)"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("deeper than 512 levels"), std::string::npos) << all;
    EXPECT_NE(all.find("{0C}: a second subkey named \"X\"; only the first is read"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("{0D}: its subkeys cannot be read"), std::string::npos) << all;
    EXPECT_TRUE(subkey(classes, 3).children.empty());
}

// A hive of 280 KB: eight nested keys with names of 30,000 characters, below them a key whose
// subkey list names one child 4,000 times. Each repeat is a warning naming the key's path, of
// 240,000 characters; building it for all of them took 16 s (built for debugging).
TEST(HiveSource, ManyWarningsOnLongPathsCostOnlyWhatIsKept) {
    std::string path = "Classes\\CLSID\\" + CLASS_A;
    for (char letter = 'a'; letter < 'i'; ++letter)
        path += "\\" + std::string(30000, letter);
    std::string image = make_hive({{path + "\\Many\\Child", {}}});
    ASSERT_FALSE(image.empty());
    std::size_t many = find_key_record(image, path + "\\Many");
    std::size_t child = find_key_record(image, path + "\\Many\\Child");
    ASSERT_NE(many, 0u);
    ASSERT_NE(child, 0u);
    const std::size_t repeats = 4000;
    std::string list = "li";
    list += char(repeats & 0xFF);
    list += char(repeats >> 8);
    for (std::size_t i = 0; i < repeats; ++i) {
        std::string entry(4, '\0');
        set_image_u32(entry, 0, std::uint32_t(child - 4 - HIVE_BINS_START));
        list += entry;
    }
    std::uint32_t list_offset = append_hive_cell(image, list);
    set_image_u32(image, many + NK_SUBKEY_COUNT, repeats);
    set_image_u32(image, many + NK_SUBKEY_LIST, list_offset);
    ASSERT_LT(image.size(), 300000u);

    const HiveReadWork before = hive_read_work();
    HiveClasses hive;
    std::string error;
    ASSERT_TRUE(read_hive_classes("long", image, hive, error)) << error;
    const std::size_t built = hive_read_work().key_paths_built - before.key_paths_built;
    ASSERT_EQ(hive.warnings.size(), 101u);
    EXPECT_EQ(hive.warnings.back(),
              "long: " + std::to_string(repeats - 1 - 100) + " more problems not listed");
    EXPECT_LE(built, hive.warnings.size()) << "a key path built for a warning not kept";
    // Names longer than the system's 255 characters are cut in messages: a warning stays short.
    std::size_t shown = 0;
    for (const std::string &warning : hive.warnings)
        shown += warning.size();
    EXPECT_LT(shown, 100 * 4000u);
    const std::string cut = std::string(255, 'h') + "...\\Many: a subkey entry leads back";
    EXPECT_NE(hive.warnings[0].find(cut), std::string::npos) << hive.warnings[0].substr(0, 400);
    // The tree itself is whole: the one child read once, every name kept exactly.
    const MemoryKey *key = &subkey(subkey(root(hive), 0), 0);
    for (int level = 0; level < 8; ++level) {
        ASSERT_EQ(key->children.size(), 1u);
        key = key->children[0].get();
        EXPECT_EQ(key->name.size(), 60000u);
    }
    EXPECT_EQ(child_names(*key), u"Many");
    EXPECT_EQ(child_names(subkey(*key, 0)), u"Child");
}

// A subkey list of the root naming one key with a name of 20,000 characters 20,000 times (100 KB
// of hive): the names of the root's subkeys, looked at to tell the hive's kind, were copied for
// every entry, 800 MB (3.6 GB and 10 s with 60,000 entries of a 30,000-character name).
TEST(HiveSource, ListsRepeatingALongNameCopyItOnce) {
    for (const std::string &top : {std::string("Software"), std::string("CLSID")}) {
        std::string image =
            make_hive({{top + "\\Classes\\CLSID\\" + CLASS_A, {}}, {std::string(20000, 'x'), {}}});
        ASSERT_FALSE(image.empty());
        std::size_t kept = find_key_record(image, top);
        std::size_t long_key = find_key_record(image, std::string(20000, 'x'));
        std::size_t root_record = find_key_record(image, "");
        ASSERT_NE(long_key, 0u);
        const std::size_t repeats = 20000;
        std::string list = "li";
        list += char((repeats + 1) & 0xFF);
        list += char((repeats + 1) >> 8);
        std::string entry(4, '\0');
        for (std::size_t i = 0; i <= repeats; ++i) {
            set_image_u32(
                entry, 0,
                std::uint32_t((i == repeats / 2 ? kept : long_key) - 4 - HIVE_BINS_START));
            list += entry;
        }
        std::uint32_t list_offset = append_hive_cell(image, list);
        set_image_u32(image, root_record + NK_SUBKEY_COUNT, repeats + 1);
        set_image_u32(image, root_record + NK_SUBKEY_LIST, list_offset);
        ASSERT_LT(image.size(), 120000u);

        const HiveReadWork before = hive_read_work();
        HiveClasses hive;
        std::string error;
        ASSERT_TRUE(read_hive_classes("hostile", image, hive, error)) << error;
        const std::size_t copied = hive_read_work().name_bytes_copied - before.name_bytes_copied;
        EXPECT_LE(copied, 4 * image.size()) << "names copied per list entry, not per key";
        EXPECT_EQ(hive.kind, top == "CLSID" ? HiveKind::UserClasses : HiveKind::NtUser) << top;
    }
}

TEST(HiveSource, DamagedAndTruncatedFilesAreToleratedOrRefusedWithTheFileName) {
    // The header promises one page more than the file has, after pages without hive bins:
    // libhivex's tolerant scan for the next bin would read the page after the file. An
    // inaccessible page is put right above a hole of the image's size, where the file's mapping
    // lands, so that such a read crashes.
    std::string image = make_hive({{"Classes\\CLSID\\" + CLASS_A, {}}});
    image.resize(0x10000, '\0');
    set_image_u32(image, 40, std::uint32_t(image.size()));
    fix_header_checksum(image);
    void *area = mmap(nullptr, image.size() + 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    munmap(area, image.size());
    HiveClasses hive;
    std::string error;
    bool read = read_hive_classes("big-size", image, hive, error);
    munmap(static_cast<char *>(area) + image.size(), 4096);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(hive.warnings.size(), 1u);
    EXPECT_EQ(hive.warnings[0], "big-size: damaged hive, read in tolerant mode: the header's hive "
                                "bins size (65536 bytes) exceeds the file");
    EXPECT_EQ(child_names(subkey(root(hive), 0)), u16(CLASS_A));

    // A wrong checksum alone: read in tolerant mode, saying why.
    image = make_hive({{"CLSID\\" + CLASS_A, {}}});
    image[508] ^= 1;
    ASSERT_TRUE(read_hive_classes("dirty", image, hive, error)) << error;
    EXPECT_EQ(hive.warnings.at(0),
              "dirty: damaged hive, read in tolerant mode: the header checksum is wrong");

    // A key cell whose size field is too small for any record (once read past the cell).
    image = make_hive({{"CLSID\\" + CLASS_A, {}}, {"CLSID\\" + CLASS_B, {}}});
    set_image_u32(image, find_key_record(image, "CLSID\\" + CLASS_A) - 4, std::uint32_t(-2));
    ASSERT_TRUE(read_hive_classes("small", image, hive, error)) << error;
    EXPECT_EQ(hive.warnings.at(1), "small: key CLSID: a subkey's name cannot be read");
    EXPECT_EQ(child_names(subkey(root(hive), 0)), u16(CLASS_B));

    for (std::size_t length : {0, 3, 100, 4096, 4100, 8000}) {
        EXPECT_FALSE(read_hive_classes("cut", image.substr(0, length), hive, error)) << length;
        EXPECT_EQ(error.rfind("cut: ", 0), 0u) << error;
    }
    EXPECT_FALSE(read_hive_classes("junk", std::string(9000, 'x'), hive, error));
    EXPECT_EQ(error, "junk: not a registry hive (no \"regf\" signature)");
}

TEST(HiveSource, ReadsTheRealHives) {
    std::string image = read_xz("UsrClass.dat");
    if (image.empty())
        GTEST_SKIP() << "no " << REAL_HIVES << "UsrClass.dat.xz";
    HiveClasses hive;
    std::string error;
    ASSERT_TRUE(read_hive_classes("UsrClass.dat", image, hive, error)) << error;
    EXPECT_EQ(hive.kind, HiveKind::UserClasses);
    EXPECT_TRUE(hive.warnings.empty());
    ASSERT_EQ(child_names(root(hive)), u"CLSID|WOW6432Node");
    EXPECT_EQ(subkey(root(hive), 0).children.size(), 20u);
    EXPECT_EQ(subkey(subkey(root(hive), 1), 0).children.size(), 23u);

    image = read_xz("corrupted_system_hive");
    if (image.empty())
        GTEST_SKIP() << "no " << REAL_HIVES << "corrupted_system_hive.xz";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(read_hive_classes("SYSTEM", image, hive, error));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(error, "SYSTEM: not a SOFTWARE, UsrClass.dat or NTUSER.DAT hive");
    ASSERT_EQ(hive.warnings.size(), 1u);
    EXPECT_EQ(hive.warnings[0].rfind("SYSTEM: damaged hive, read in tolerant mode: ", 0), 0u);
}

} // namespace
