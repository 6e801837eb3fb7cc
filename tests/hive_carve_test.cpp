// Unit tests of carving deleted keys from hives deleted from the way Windows leaves them.
#include "hive/hive_carve.h"
#include "registry/code_page.h"
#include "tests/hive_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

const std::string CLASS_A = "{0A0A0A0A-0000-0000-0000-00000000000A}";
const std::string CLASS_B = "{0B0B0B0B-0000-0000-0000-00000000000B}";
const std::string CLASS_W = "{0C0C0C0C-0000-0000-0000-00000000000C}";
constexpr unsigned long long WRITTEN = 132000000000000000ULL; // 2019
constexpr unsigned long long DELETED = 133000000000000000ULL; // 2022

std::string joined(const std::vector<std::string> &path) {
    std::string out;
    for (const std::string &name : path)
        out += (out.empty() ? "" : "\\") + utf16_to_utf8(utf16le_bytes_to_text(name));
    return out;
}

HiveCarving carve_all(const std::string &image) {
    return carve_deleted_keys(image, [](const std::vector<std::string> &) { return true; });
}

const CarvedKey *carved_at(const HiveCarving &carving, const std::string &path) {
    for (const CarvedKey &key : carving.keys)
        if (joined(key.path) == path)
            return &key;
    return nullptr;
}

// A SOFTWARE-like hive whose keys all carry the time WRITTEN.
std::string software_hive(const std::vector<FixtureKey> &keys) {
    return make_timed_hive(keys, WRITTEN);
}

std::string classes_hive() {
    return software_hive({
        {"Classes\\CLSID\\" + CLASS_A, {{"", 1, reg_sz_data(u"Deleted Thing")}}},
        {"Classes\\CLSID\\" + CLASS_A + "\\InprocServer32",
         {{"", 2, reg_sz_data(u"%APPDATA%\\evil.dll")},
          {"ThreadingModel", 1, reg_sz_data(u"Both")}}},
        {"Classes\\CLSID\\" + CLASS_B, {{"", 1, reg_sz_data(u"Live Thing")}}},
        {"Classes\\CLSID\\" + CLASS_B + "\\InprocServer32",
         {{"", 1, reg_sz_data(u"C:\\Windows\\System32\\live.dll")}}},
        {"Classes\\Wow6432Node\\CLSID\\" + CLASS_W, {{"", 1, reg_sz_data(u"Wow Thing")}}},
    });
}

std::string default_text(const CarvedKey &key) {
    for (const CarvedValue &value : key.values)
        if (value.name.empty() && value.recoverable) {
            std::string text = utf16_to_utf8(utf16le_bytes_to_text(value.data));
            return text.substr(0, text.find('\0'));
        }
    return "(none)";
}

// The file offsets at which the cells of each bin start, walked from the bin's start.
std::vector<std::size_t> cell_starts(const std::string &image) {
    std::vector<std::size_t> starts;
    for (std::size_t bin = HIVE_BINS_START; bin + 4096 <= image.size();) {
        std::size_t bin_size = image_u32(image, bin + 8);
        for (std::size_t cell = bin + 32; cell < bin + bin_size;) {
            starts.push_back(cell);
            std::int32_t size = std::int32_t(image_u32(image, cell));
            cell += std::size_t(size < 0 ? -std::int64_t(size) : size);
        }
        bin += bin_size;
    }
    return starts;
}

TEST(HiveCarveTest, AHiveWithNothingDeletedGivesNothing) {
    const HiveCarving carving = carve_all(classes_hive());
    EXPECT_TRUE(carving.keys.empty());
    EXPECT_EQ(carving.deleted, 0u);
    EXPECT_EQ(carving.orphans, 0u);
}

TEST(HiveCarveTest, DeletedClassesWithTheirServersInBothViewsAndInOneMergedFreeCell) {
    std::string image = classes_hive();
    delete_key_as_windows(image, "Classes\\CLSID\\" + CLASS_A, DELETED);
    delete_key_as_windows(image, "Classes\\Wow6432Node\\CLSID\\" + CLASS_W, DELETED + 1);
    const HiveCarving carving = carve_all(image);
    EXPECT_EQ(carving.keys.size(), 3u);
    const CarvedKey *cls = carved_at(carving, "Classes\\CLSID\\" + CLASS_A);
    const CarvedKey *server = carved_at(carving, "Classes\\CLSID\\" + CLASS_A + "\\InprocServer32");
    const CarvedKey *wow = carved_at(carving, "Classes\\Wow6432Node\\CLSID\\" + CLASS_W);
    ASSERT_TRUE(cls && server && wow);
    EXPECT_EQ(default_text(*cls), "Deleted Thing");
    EXPECT_EQ(default_text(*server), "%APPDATA%\\evil.dll");
    EXPECT_EQ(server->values.size(), 2u);
    // A key that had subkeys was written when they went; a leaf keeps its own time.
    EXPECT_EQ(cls->written, DELETED);
    EXPECT_EQ(server->written, WRITTEN);
    EXPECT_FALSE(cls->parent_deleted);
    EXPECT_TRUE(server->parent_deleted);
    EXPECT_EQ(wow->written, WRITTEN);
    // The freed cells were merged: some deleted record is no longer at the start of a cell.
    std::vector<std::size_t> starts = cell_starts(image);
    bool inside = false;
    for (const CarvedKey &key : carving.keys)
        inside = inside || std::find(starts.begin(), starts.end(), key.offset) == starts.end();
    EXPECT_TRUE(inside);
}

TEST(HiveCarveTest, DeletedServerSubkeyUnderALiveClass) {
    std::string image = classes_hive();
    delete_key_as_windows(image, "Classes\\CLSID\\" + CLASS_B + "\\InprocServer32", DELETED);
    const HiveCarving carving = carve_all(image);
    ASSERT_EQ(carving.keys.size(), 1u);
    EXPECT_EQ(joined(carving.keys[0].path), "Classes\\CLSID\\" + CLASS_B + "\\InprocServer32");
    EXPECT_FALSE(carving.keys[0].parent_deleted);
    EXPECT_EQ(default_text(carving.keys[0]), "C:\\Windows\\System32\\live.dll");
}

TEST(HiveCarveTest, DataReusedByALiveKeyIsUnrecoverableNeverTheLiveData) {
    std::string image = classes_hive();
    const std::string server = "Classes\\CLSID\\" + CLASS_A + "\\InprocServer32";
    const std::size_t deleted_value = find_value_record(image, server, "");
    const std::size_t live_value =
        find_value_record(image, "Classes\\CLSID\\" + CLASS_B + "\\InprocServer32", "");
    ASSERT_TRUE(deleted_value && live_value);
    const std::uint32_t data_cell = image_u32(image, deleted_value + 8);
    delete_key_as_windows(image, server, DELETED);
    // A live value now takes the freed data cell, at its start, as an allocation would.
    std::size_t cell = HIVE_BINS_START + data_cell;
    std::uint32_t size = image_u32(image, cell);
    set_image_u32(image, cell, std::uint32_t(-std::int32_t(std::min<std::uint32_t>(size, 64))));
    set_image_u32(image, live_value + 8, data_cell);
    const HiveCarving carving = carve_all(image);
    const CarvedKey *key = carved_at(carving, server);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_TRUE(key->values[0].name.empty() && key->values[0].name_known);
    EXPECT_FALSE(key->values[0].recoverable);
    EXPECT_TRUE(key->values[0].data.empty());
    EXPECT_TRUE(key->values[1].recoverable);
}

TEST(HiveCarveTest, OverwrittenParentMakesAnOrphanAndGarbageIsNoKey) {
    std::string image = classes_hive();
    const std::size_t class_record = find_key_record(image, "Classes\\CLSID\\" + CLASS_A);
    const std::uint32_t clsid =
        std::uint32_t(find_key_record(image, "Classes\\CLSID") - 4 - HIVE_BINS_START);
    delete_key_as_windows(image, "Classes\\CLSID\\" + CLASS_A, DELETED);
    image.replace(class_record, 2, "xx"); // the class key's record, reused
    // Records that look like keys in the bin's free tail: no name, a time past 2100, a backslash.
    std::size_t tail = cell_starts(image).back();
    for (int i = 0; i < 3; ++i) {
        std::string fake(96, '\0');
        set_image_u32(fake, 0, 96);
        fake.replace(4, 2, "nk");
        fake[6] = 0x20;
        set_image_u32(fake, 4 + 8, i == 1 ? 0x40000000u : 0x01D50000u);
        set_image_u32(fake, 4 + 16, clsid);
        fake[4 + 72] = i == 0 ? 0 : 3;
        fake.replace(4 + 76, 3, i == 2 ? "a\\b" : "abc");
        image.replace(tail + 8 + std::size_t(i) * 96, 96, fake);
    }
    const HiveCarving carving = carve_all(image);
    EXPECT_TRUE(carving.keys.empty()) << joined(carving.keys[0].path);
    EXPECT_EQ(carving.orphans, 1u); // the server subkey, whose parent is gone
}

TEST(HiveCarveTest, ADeletedKeyWithALiveTwinIsItsOwn) {
    // Deleted, then made again: the old key's parent is CLSID, and a new live key has its name.
    std::string image = software_hive({
        {"Classes\\CLSID\\" + CLASS_A + "\\InprocServer32", {{"", 1, reg_sz_data(u"new.dll")}}},
        {"Classes\\Zed\\" + CLASS_A + "\\InprocServer32", {{"", 1, reg_sz_data(u"old.dll")}}},
    });
    const std::size_t old_record = find_key_record(image, "Classes\\Zed\\" + CLASS_A);
    const std::uint32_t clsid =
        std::uint32_t(find_key_record(image, "Classes\\CLSID") - 4 - HIVE_BINS_START);
    delete_key_as_windows(image, "Classes\\Zed\\" + CLASS_A, DELETED);
    set_image_u32(image, old_record + 16, clsid);
    const HiveCarving carving = carve_all(image);
    const CarvedKey *server = carved_at(carving, "Classes\\CLSID\\" + CLASS_A + "\\InprocServer32");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(default_text(*server), "old.dll");
    EXPECT_EQ(carving.keys.size(), 2u);
}

TEST(HiveCarveTest, BytesPastTheHiveBinsAreNotThisHives) {
    std::string deleted = classes_hive();
    delete_key_as_windows(deleted, "Classes\\CLSID\\" + CLASS_A, DELETED);
    ASSERT_EQ(carve_all(deleted).keys.size(), 2u);
    // The same hive with nothing deleted, followed by the other's bins in the file's tail.
    std::string image = classes_hive();
    ASSERT_EQ(image.size(), deleted.size());
    image += deleted.substr(HIVE_BINS_START);
    EXPECT_TRUE(carve_all(image).keys.empty());
}

TEST(HiveCarveTest, OnlyWantedKeysAreKeptButAllAreCounted) {
    std::string image = classes_hive();
    delete_key_as_windows(image, "Classes\\CLSID\\" + CLASS_A, DELETED);
    const HiveCarving carving = carve_deleted_keys(
        image, [](const std::vector<std::string> &path) { return path.size() == 3; });
    EXPECT_EQ(carving.keys.size(), 1u);
    EXPECT_EQ(carving.deleted, 2u);
}

// A deleted chain twice as deep costs twice the parent links, not four times: each key's path is
// worked out once.
TEST(HiveCarveTest, ParentLinksGrowWithTheKeysNotTheirDepthSquared) {
    auto steps = [](std::size_t depth) {
        std::string path = "Deep";
        for (std::size_t i = 1; i < depth; ++i)
            path += "\\k";
        std::string image = software_hive({{path, {}}});
        delete_key_as_windows(image, "Deep", DELETED);
        std::size_t before = hive_carve_work().parent_steps;
        EXPECT_EQ(carve_deleted_keys(image, [](const std::vector<std::string> &) { return false; })
                      .deleted,
                  depth);
        return hive_carve_work().parent_steps - before;
    };
    std::size_t shallow = steps(100), deep = steps(200);
    EXPECT_LE(deep, 2 * shallow + 8);
}

TEST(HiveCarveTest, HostileImagesEndWithoutHarm) {
    std::string image = classes_hive();
    delete_key_as_windows(image, "Classes\\CLSID\\" + CLASS_A, DELETED);
    // Bytes across every record set to 0xFF, one at a time: offsets, sizes and counts gone wild.
    for (std::size_t at = HIVE_BINS_START; at < image.size(); at += 61) {
        std::string damaged = image;
        damaged[at] = char(0xFF);
        carve_all(damaged);
    }
    carve_all(image.substr(0, 5000));
    carve_all(std::string());
}

} // namespace
