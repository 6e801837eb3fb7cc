// Tests of the in-memory registry in its UTF-16 form: the ANSI calls' conversions and capacities.
#include "registry/code_page.h"
#include "registry/memory_registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string stored(const std::u16string &text) {
    return text_to_utf16le_bytes(text);
}

struct Utf16Registry {
    MemoryRegistry registry;
    explicit Utf16Registry(unsigned code_page) { registry.code_page = code_page; }
    MemoryKey &add(MemoryKey &parent, const std::u16string &name) {
        return memory_add_child(registry, parent, stored(name));
    }
    MemoryKey &root() { return *registry.root; }
};

} // namespace

TEST(MemoryRegistryTest, NamesComeBackInTheCodePageWithCapacitiesInConvertedBytes) {
    Utf16Registry r(932);
    r.add(r.root(), u"\u30AF\u30E9\u30B9"); // three katakana: six bytes in 932
    r.add(r.root(), u"b\u00E9ta");          // e-acute: not in 932
    r.add(r.root(), u"\uFF41\u0436");       // full-width a, Cyrillic zhe
    char name[16];
    unsigned long chars = 6;
    // Sorted by the upper-cased UTF-16 names: "B\u00C9TA", "\u30AF...", "\uFF21\u0416".
    EXPECT_EQ(memory_enum_key(r.registry, r.root(), 1, name, &chars), REG_ERROR_MORE_DATA);
    chars = 7;
    ASSERT_EQ(memory_enum_key(r.registry, r.root(), 1, name, &chars), REG_SUCCESS);
    EXPECT_EQ(std::string(name), "\x83\x4E\x83\x89\x83\x58");
    EXPECT_EQ(chars, 6u);
    chars = sizeof name;
    ASSERT_EQ(memory_enum_key(r.registry, r.root(), 0, name, &chars), REG_SUCCESS);
    EXPECT_EQ(std::string(name), "b?ta");
    EXPECT_EQ(memory_enum_key(r.registry, r.root(), 3, name, &chars), REG_ERROR_NO_MORE_ITEMS);

    // Opening goes back through the code page: the converted name finds its key whatever the
    // letter case, and a name that lost a character to '?' finds nothing.
    std::shared_ptr<MemoryKey> found;
    EXPECT_EQ(memory_open(r.registry, r.registry.root, "\x83\x4E\x83\x89\x83\x58", found),
              REG_SUCCESS);
    EXPECT_EQ(memory_open(r.registry, r.registry.root, "\x82\x60\x84\x47", found), REG_SUCCESS)
        << "upper-case full-width A and Cyrillic ZHE open the lower-case key";
    EXPECT_EQ(memory_open(r.registry, r.registry.root, "B?TA", found), REG_ERROR_FILE_NOT_FOUND);
}

TEST(MemoryRegistryTest, StringDataIsConvertedAndOtherDataKeptAsStored) {
    Utf16Registry r(932);
    MemoryKey &key = r.add(r.root(), u"k");
    memory_set_value(r.registry, key, "", 1, stored(std::u16string(u"\u30AFx\0", 3)));
    memory_set_value(r.registry, key, stored(u"open"), 1, stored(u"ab")); // no terminator
    memory_set_value(r.registry, key, stored(u"bin"), 3, stored(u"\u30AF"));
    memory_set_value(r.registry, key, stored(u"odd"), 2, std::string("a\0b", 3));

    char name[8];
    unsigned char data[8];
    unsigned long chars = sizeof name, type = 0, bytes = 3;
    // The default value holds 2 + 1 + 1 converted bytes: a 3-byte buffer is too small, and the
    // type and the size needed come back with the failure.
    EXPECT_EQ(memory_enum_value(r.registry, key, 0, name, &chars, &type, data, &bytes),
              REG_ERROR_MORE_DATA);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(bytes, 4u);
    bytes = 4;
    ASSERT_EQ(memory_enum_value(r.registry, key, 0, name, &chars, &type, data, &bytes),
              REG_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 4), std::string("\x83\x4Ex\0", 4));
    EXPECT_EQ(chars, 0u);

    // Unterminated text: the size counts no NUL, and a NUL follows when the buffer has room.
    data[2] = 'Z';
    chars = sizeof name, bytes = sizeof data;
    ASSERT_EQ(memory_enum_value(r.registry, key, 1, name, &chars, &type, data, &bytes),
              REG_SUCCESS);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 3), std::string("ab\0", 3));
    EXPECT_EQ(std::string(name), "open");

    chars = sizeof name, bytes = sizeof data;
    ASSERT_EQ(memory_enum_value(r.registry, key, 2, name, &chars, &type, data, &bytes),
              REG_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), bytes), stored(u"\u30AF"));
    // An odd byte at the end of string data is dropped, as the system drops it.
    chars = sizeof name, bytes = sizeof data;
    ASSERT_EQ(memory_enum_value(r.registry, key, 3, name, &chars, &type, data, &bytes),
              REG_SUCCESS);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(data[0], 'a');

    // A value name that does not fit fails even without a data buffer.
    chars = 4;
    EXPECT_EQ(memory_enum_value(r.registry, key, 1, name, &chars, &type, nullptr, nullptr),
              REG_ERROR_MORE_DATA);
}

TEST(MemoryRegistryTest, CodePage1252KeepsItsOwnLettersAndTheFiveUndefinedBytes) {
    EXPECT_EQ(utf16_to_code_page(1252, u"\u00E9\u20AC\u0081\u30AF"), "\xE9\x80\x81?");
    EXPECT_EQ(code_page_to_utf16(1252, "\xE9\x80\x81"), u"\u00E9\u20AC\u0081");
    EXPECT_EQ(utf16_to_code_page(932, u"\U0001F600"), "?") << "a surrogate pair is one '?'";
    std::u16string text;
    EXPECT_TRUE(utf8_to_utf16("\xE3\x82\xAF\xF0\x9F\x98\x80", text));
    EXPECT_EQ(utf16_to_utf8(text), "\xE3\x82\xAF\xF0\x9F\x98\x80");
    EXPECT_FALSE(utf8_to_utf16("\xC0\xAF", text)) << "overlong form";
    EXPECT_EQ(utf16_to_utf8(u"\xD800x"), "\xEF\xBF\xBDx") << "unpaired surrogate";
}
