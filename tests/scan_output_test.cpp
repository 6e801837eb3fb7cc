// Text that clsid-scan writes from outside the registry: JSON names and printable messages.
#include "clsidscan/scan_output.h"

#include <gtest/gtest.h>

TEST(ScanOutput, JsonStringsAreUtf8WhateverTheBytes) {
    EXPECT_EQ(json_string("caf\xC3\xA9 \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    // Overlong forms, surrogates, code points past U+10FFFF, stray and cut-short sequences.
    for (const char *bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80",
                            "\xFF", "\xE2\x82"}) {
        std::string out = json_string(std::string("a") + bad + "b");
        EXPECT_EQ(out.substr(0, 2), "\"a") << bad;
        EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos) << bad;
        EXPECT_EQ(out.substr(out.size() - 2), "b\"") << bad;
    }
    EXPECT_EQ(json_string(std::string("\x01\"\\\n", 4)), "\"\\u0001\\\"\\\\\\n\"");
}

TEST(ScanOutput, NamesThatAreNotUtf8KeepTheirBytesInHex) {
    EXPECT_EQ(json_name_field("user", "alice"), "\"user\":\"alice\"");
    EXPECT_EQ(json_name_field("user", "caf\xE9"),
              "\"user\":\"caf\xEF\xBF\xBD\",\"user_hex\":\"636166e9\"");
}

TEST(ScanOutput, PrintableTextCannotForgeLinesOrReachTheTerminal) {
    EXPECT_EQ(printable_text("C:\\Users\\Public \xC3\xA9"), "C:\\Users\\Public \xC3\xA9");
    EXPECT_EQ(printable_text("a\nHKEY\r\x1B[2J\x7F"), "a\\x0aHKEY\\x0d\\x1b[2J\\x7f");
    EXPECT_EQ(printable_text("\xC2\x9B"
                             "31m \xC2\xA0"),
              "\\xc2\\x9b31m \xC2\xA0"); // C1 CSI
    EXPECT_EQ(printable_text("caf\xE9"), "caf\\xe9");
    // A name that spells an escape cannot pass for one.
    EXPECT_EQ(printable_text("\\x0a"), "\\x5cx0a");
}
