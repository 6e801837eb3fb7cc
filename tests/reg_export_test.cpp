// Unit tests of the .reg export reader: encodings, value syntax, placement, merging, errors, size.
#include "evidence/reg_export.h"

#include "registry/code_page.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string V5 = "Windows Registry Editor Version 5.00\r\n\r\n";

RegExportClasses read_ok(const std::string &bytes, unsigned code_page = 1252) {
    RegExportClasses out;
    std::string error;
    EXPECT_TRUE(read_reg_export(bytes, code_page, out, error) && error.empty()) << error;
    return out;
}

std::u16string u16(const std::string &utf8) {
    std::u16string text;
    EXPECT_TRUE(utf8_to_utf16(utf8, text));
    return text;
}

// The key at a backslash-separated path (names compared exactly), or null.
const SourceKey *find(const SourceKey &root, const std::string &path) {
    const SourceKey *key = &root;
    for (std::size_t begin = 0; key && begin < path.size();) {
        std::size_t end = path.find('\\', begin);
        end = end == std::string::npos ? path.size() : end;
        const std::u16string name = u16(path.substr(begin, end - begin));
        const SourceKey *next = nullptr;
        for (const SourceKey &child : key->children)
            next = child.name == name ? &child : next;
        key = next;
        begin = end + 1;
    }
    return key;
}

// "name=type:data" for each value, data shown as text for REG_SZ and as hex bytes otherwise.
std::string values_of(const SourceKey *key) {
    if (!key)
        return "(no key)";
    std::string shown;
    for (const SourceValue &value : key->values) {
        shown += utf16_to_utf8(value.name) + "=" + std::to_string(value.type) + ":";
        if (value.type == 1) {
            shown += utf16_to_utf8(utf16le_bytes_to_text(value.data));
        } else {
            for (unsigned char b : value.data)
                shown += "0123456789abcdef"[b >> 4], shown += "0123456789abcdef"[b & 15];
        }
        shown += ";";
    }
    return shown;
}

// values_of the machine's key at `path` in `file`.
std::string machine_values(const std::string &file, const std::string &path,
                           unsigned code_page = 1252) {
    return values_of(find(read_ok(file, code_page).machine, path));
}

std::string children_of(const SourceKey *key) {
    std::string names;
    for (const SourceKey &child : key ? key->children : std::vector<SourceKey>())
        names += utf16_to_utf8(child.name) + ",";
    return names;
}

TEST(RegExport, EveryEncodingAndBothHeaders) {
    const std::string body = "\r\n[HKEY_CLASSES_ROOT\\CLSID\\{B2}]\r\n@=\"更新チェッカー\"\r\n"
                             "\"Path\"=\"C:\\\\表計算\\\\ソフト.dll\"\r\n";
    const std::string expected = "=1:更新チェッカー\0;Path=1:C:\\表計算\\ソフト.dll\0;"s;
    const std::string utf16 = text_to_utf16le_bytes(u16(V5 + body));
    // cp932 bytes of the same: 表 and ソ end in 0x5C, which must not read as a backslash.
    const std::string cp932 = "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\CLSID\\{B2}]\r\n"
                              "@=\"\x8D\x58\x90\x56\x83\x60\x83\x46\x83\x62\x83\x4A\x81\x5B\"\r\n"
                              "\"Path\"=\"C:\\\\\x95\x5C\x8C\x76\x8E\x5A\\\\\x83\x5C\x83\x74\x83"
                              "\x67.dll\"\r\n";
    for (const std::string &file :
         {"\xFF\xFE" + utf16, "\xEF\xBB\xBF" + V5 + body, V5 + body, "REGEDIT4\n" + body}) {
        EXPECT_TRUE(looks_like_reg_export(file.substr(0, 200)));
        EXPECT_EQ(machine_values(file, "CLSID\\{B2}"), expected);
    }
    EXPECT_EQ(machine_values(cp932, "CLSID\\{B2}", 932), expected);
    // 8-bit 1252 (not valid UTF-8) against the same letters as UTF-8.
    EXPECT_EQ(machine_values("REGEDIT4\n[HKCR\\Caf\xE9]\n@=\"\xC9t\xE9\x80\"\n", "Café"),
              "=1:Été€\0;"s);
    EXPECT_EQ(machine_values(V5 + "[HKCR\\Café]\n@=\"Été€\"\n", "Café"), "=1:Été€\0;"s);

    for (const char *other : {"regf\x01\x00\x00\x00", "\xFE\xFF\x00W", "W\0i\0n\0", "", "hello",
                              "REGEDIT5\n", "Windows Registry Editor Version 4.00\n"})
        EXPECT_FALSE(looks_like_reg_export(other)) << other;
    EXPECT_TRUE(looks_like_reg_export("; fixture\r\n\r\n  REGEDIT4  \r\n"));
}

TEST(RegExport, ValueSyntaxAndEveryHexType) {
    const std::string values = machine_values(V5 + "[HKCR\\T]\n"
                                                   "\"s\"=\"a\\\\b\\\"c\\nd\\re\\0f\\qg\"\n"
                                                   " \"d\" = dword:0000002A \n\"short\"=DWORD:7\n"
                                                   "\"b\"=hex:01,FF,\\\n  00 , 7,\\\n\t80\n"
                                                   "\"n\"=hex(0):\n\"e\"=hex(2):25,00,00,00\n"
                                                   "\"m\"=hex(7):61,00,00,00,00,00\n"
                                                   "\"q\"=hex(b):01,02,03,04,05,06,07,08,\n"
                                                   "\"x\"=hex(FFFF0001):aa,bb\\\n  cc\n"
                                                   "@=\"first\"\n\"\"=\"second\"\n"
                                                   "\"na\\\"me\"=hex(1):41,00\n",
                                              "T");
    EXPECT_EQ(values, "s=1:a\\b\"c\nd\re\0f\\qg\0;d=4:2a000000;short=4:07000000;"
                      "b=3:01ff000780;n=0:;e=2:25000000;m=7:610000000000;"
                      "q=11:0102030405060708;x=4294901761:aabbcc;=1:second\0;"
                      "na\"me=1:A;"s);
    // REGEDIT4 stored expandable and multiple strings as ANSI bytes: they become UTF-16LE.
    const std::string v4 = "REGEDIT4\n[HKCR\\T]\n\"e\"=hex(2):41,83,5c,00\n\"m\"=hex(7):41,00,00\n"
                           "\"b\"=hex:41,00\n\"r\"=hex(1):41,00\n";
    EXPECT_EQ(machine_values(v4, "T", 932), "e=2:4100bd300000;m=7:410000000000;b=3:4100;r=1:A;");
}

TEST(RegExport, PathsGoToTheirSideAndView) {
    const RegExportClasses classes =
        read_ok(V5 + "[HKEY_CLASSES_ROOT]\n@=\"root\"\n[hkcr\\CLSID\\A]\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\B]\n"
                     "[HKLM\\software\\WOW6432NODE\\classes\\CLSID\\C]\n"
                     "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\D]\n"
                     "[HKCU\\Software\\Wow6432Node\\Classes\\CLSID\\E]\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n@=\"skipped\"\n"
                     "[HKLM\\SOFTWARE\\Other\\Classes\\CLSID\\H]\n\"v\"=hex:00\n"
                     "[HKEY_CURRENT_CONFIG\\Software\\Classes\\I]\n[HKU\\_Classes\\J]\n"
                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\K]\n[HKCU\\Software\\Wow6432Node\\L]\n");
    EXPECT_TRUE(classes.has_machine && classes.has_user);
    EXPECT_EQ(values_of(&classes.machine), "=1:root\0;"s);
    EXPECT_EQ(children_of(&classes.machine), "CLSID,WOW6432NODE,");
    EXPECT_EQ(children_of(find(classes.machine, "CLSID")), "A,B,");
    EXPECT_EQ(children_of(find(classes.machine, "WOW6432NODE\\CLSID")), "C,");
    EXPECT_EQ(children_of(&classes.user), "CLSID,Wow6432Node,");
    EXPECT_EQ(children_of(find(classes.user, "CLSID")), "D,");
    EXPECT_EQ(children_of(find(classes.user, "Wow6432Node\\CLSID")), "E,");
    // A user under HKEY_USERS: <SID>_Classes and <SID>\Software\Classes are the same classes.
    const RegExportClasses sid =
        read_ok(V5 + "[HKEY_USERS\\S-1-5-21-7_Classes\\CLSID\\F]\n"
                     "[HKU\\s-1-5-21-7\\Software\\Classes\\G]\n"
                     "[HKU\\S-1-5-21-7\\SOFTWARE\\Wow6432Node\\Classes\\CLSID\\W]\n");
    EXPECT_TRUE(!sid.has_machine && sid.has_user);
    EXPECT_EQ(children_of(&sid.user), "CLSID,G,Wow6432Node,");
    EXPECT_EQ(children_of(find(sid.user, "CLSID")), "F,");
    EXPECT_EQ(children_of(find(sid.user, "Wow6432Node\\CLSID")), "W,");

    const RegExportClasses user_only = read_ok(V5 + "[HKCU\\Software\\Classes]\n[HKLM\\SYSTEM]\n");
    EXPECT_TRUE(!user_only.has_machine && user_only.has_user);
}

TEST(RegExport, RepeatedSectionsMergeAndDeletionsRemove) {
    const RegExportClasses classes = read_ok(
        V5 + "[HKCR\\CLSID\\{X}]\n@=\"one\"\n\"Name\"=\"a\"\n\"Other\"=\"b\"\n[HKCR\\CLSID\\Y]\n"
             "[hkcr\\clsid\\{x}]\n\"NAME\"=\"c\"\n[HKCR\\CLSID\\{X}\\Sub]\n"
             "[HKCR\\CLSID\\Café]\n[HKCR\\CLSID\\CAFÉ\\Я]\n[HKCR\\CLSID\\CAFÉ\\я]\n"
             "[HKCR\\CLSID\\café\\Ā]\n[HKCR\\CLSID\\CAFÉ\\ā]\n"
             "[HKCR\\CLSID\\Y]\n\"Other\"=-\n[HKCR\\CLSID\\{X}]\n\"Other\"=-\n\"Gone\"=-\n"
             "[-HKCR\\CLSID\\Y]\n\"after\"=\"ignored\"\n"
             "[HKCR\\CLSID\\Z\\Deep]\n[-HKCR\\CLSID\\z]\n[HKCR\\CLSID\\Z]\n\"Other\"=\"new\"\n"
             "[-HKCR\\CLSID\\Missing\\Key]\n[HKLM\\SOFTWARE\\Wow6432Node\\Classes\\W]\n"
             "[HKCU\\Software\\Classes\\U]\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node]\n");
    EXPECT_EQ(children_of(&classes.machine), "CLSID,");
    EXPECT_EQ(children_of(find(classes.machine, "CLSID")), "{X},Café,Z,");
    EXPECT_EQ(values_of(find(classes.machine, "CLSID\\{X}")), "=1:one\0;Name=1:c\0;"s);
    EXPECT_EQ(children_of(find(classes.machine, "CLSID\\{X}")), "Sub,");
    EXPECT_EQ(children_of(find(classes.machine, "CLSID\\Café")), "Я,Ā,");
    EXPECT_EQ(children_of(find(classes.machine, "CLSID\\Z")), "");
    EXPECT_EQ(values_of(find(classes.machine, "CLSID\\Z")), "Other=1:new\0;"s);

    // Deleting an ancestor of a classes root clears that side only; later keys come back.
    const RegExportClasses cleared =
        read_ok(V5 + "[HKCR\\CLSID\\A]\n[HKCU\\Software\\Classes\\CLSID\\B]\n"
                     "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n[HKLM\\SOFTWARE\\Classes\\C]\n"
                     "[-HKEY_CURRENT_USER\\Software]\n");
    EXPECT_TRUE(cleared.has_machine && cleared.has_user);
    EXPECT_EQ(children_of(&cleared.machine), "C,");
    EXPECT_EQ(children_of(&cleared.user), "");
}

// An export of HKEY_USERS holds every user's classes; merged into one user side, the later
// section overwrote the earlier, so alice's server was found or not depending on the order.
TEST(RegExport, TheClassesOfMoreThanOneUserAreAnError) {
    const std::string alice = "[HKEY_USERS\\S-1-5-21-1-1001_Classes\\CLSID\\{S1}\\InprocServer32]\n"
                              "@=\"C:\\\\Users\\\\alice\\\\evil.dll\"\n";
    const std::string bob = "[HKEY_USERS\\S-1-5-21-1-1002\\Software\\Classes\\CLSID\\{S1}\\"
                            "InprocServer32]\n@=\"C:\\\\Windows\\\\thing.dll\"\n";
    const std::string machine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{S1}]\n";
    const std::string two =
        "holds the classes of more than one user (%s); export one user's classes at a time";
    auto expect_error = [&](const std::string &file, const std::string &users) {
        RegExportClasses out;
        std::string error;
        EXPECT_FALSE(read_reg_export(file, 1252, out, error)) << file;
        EXPECT_EQ(error, two.substr(0, two.find("%s")) + users + two.substr(two.find("%s") + 2));
        EXPECT_TRUE(!out.has_machine && !out.has_user && out.user.children.empty());
    };
    expect_error(V5 + machine + alice + bob, "S-1-5-21-1-1001, S-1-5-21-1-1002");
    expect_error(V5 + bob + machine + alice, "S-1-5-21-1-1002, S-1-5-21-1-1001");
    // The current user is a user too: with a SID beside it, nothing tells whether it is that one.
    expect_error(V5 + "[HKCU\\Software\\Classes\\CLSID\\{S1}]\n" + alice,
                 "HKEY_CURRENT_USER, S-1-5-21-1-1001");
    expect_error(V5 + alice + "[HKEY_USERS\\.DEFAULT\\Software\\Classes\\CLSID\\{D}]\n",
                 "S-1-5-21-1-1001, .DEFAULT");
    // Even when the other user's keys are deleted later on: the file held them.
    expect_error(V5 + alice + bob + "[-HKEY_USERS\\S-1-5-21-1-1002]\n",
                 "S-1-5-21-1-1001, S-1-5-21-1-1002");
    // Many users: the first ten are named.
    std::string many = V5;
    for (int i = 0; i < 1000; i++)
        many += "[HKU\\S-1-5-21-9-" + std::to_string(1000 + i) + "_Classes\\CLSID\\{X}]\n";
    expect_error(many, "S-1-5-21-9-1000, S-1-5-21-9-1001, S-1-5-21-9-1002, S-1-5-21-9-1003, "
                       "S-1-5-21-9-1004, S-1-5-21-9-1005, S-1-5-21-9-1006, S-1-5-21-9-1007, "
                       "S-1-5-21-9-1008, S-1-5-21-9-1009 and 990 more");

    // One user, in any letter case and under both of its keys, is fine; so are keys elsewhere
    // below HKEY_USERS, and deleting another user's classes, which this file does not hold.
    for (const std::string &file :
         {V5 + machine + alice + "[HKEY_USERS\\s-1-5-21-1-1001\\Software\\Classes\\CLSID\\{S2}]\n",
          V5 + alice +
              "[HKU\\S-1-5-21-1-1002\\Environment]\n\"Path\"=\"x\"\n"
              "[-HKEY_USERS\\S-1-5-21-1-1002_Classes\\CLSID]\n[HKU\\S-1-5-21-1-1003]\n"}) {
        const RegExportClasses one = read_ok(file);
        EXPECT_TRUE(one.has_user);
        EXPECT_EQ(values_of(find(one.user, "CLSID\\{S1}\\InprocServer32")),
                  "=1:C:\\Users\\alice\\evil.dll\0;"s);
    }
    const RegExportClasses current = read_ok(
        V5 + "[HKCU\\Software\\Classes\\CLSID\\{C}]\n[-HKEY_USERS\\S-1-5-21-1-1001_Classes]\n"
             "[HKEY_CURRENT_USER\\Software\\Wow6432Node\\Classes\\CLSID\\{W}]\n");
    EXPECT_EQ(children_of(find(current.user, "CLSID")), "{C},");
    EXPECT_EQ(children_of(find(current.user, "Wow6432Node\\CLSID")), "{W},");
    // Deleting HKEY_USERS clears every user's classes; later keys come back.
    const RegExportClasses all_gone = read_ok(V5 + alice + "[-HKU]\n");
    EXPECT_TRUE(all_gone.has_user);
    EXPECT_EQ(children_of(&all_gone.user), "");
    const RegExportClasses back = read_ok(V5 + alice + "[-HKEY_USERS]\n" + alice);
    EXPECT_EQ(values_of(find(back.user, "CLSID\\{S1}\\InprocServer32")),
              "=1:C:\\Users\\alice\\evil.dll\0;"s);
}

TEST(RegExport, LineEndsCommentsAndPadding) {
    const std::string file =
        "; exported for a test\r\n\r\n  Windows Registry Editor Version 5.00 \r"
        "; comment\r\n   \t\n[HKCR\\A]\r  ; indented comment\n\t@=\"x\"\r\n"
        "[HKCR\\B]\n\"v\"=hex:01,\\\r  02\r\n\0\0"s;
    const RegExportClasses classes = read_ok(file);
    EXPECT_EQ(values_of(find(classes.machine, "A")), "=1:x\0;"s);
    EXPECT_EQ(values_of(find(classes.machine, "B")), "v=3:0102;");
}

TEST(RegExport, ErrorsNameTheLine) {
    const std::string key = "Windows Registry Editor Version 5.00\n[HKCR\\K]\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "line 1: no registry export header"},
        {"; only a comment\n\n", "line 2: no registry export header"},
        {"REGEDIT\n", "line 1: REGEDIT files of Windows 3.1 are not supported"},
        {"\n\nhello\n", "line 3: not a registry export (expected \"REGEDIT4\" or \"Windows "
                        "Registry Editor Version 5.00\")"},
        {"\xFE\xFF\0W", "line 1: UTF-16 big-endian text is not supported"},
        {"\xEF\xBB\xBFREGEDIT4\n\n\r\n[HKCR\\\xC3]\n", "line 4: invalid UTF-8"},
        {V5 + "\"a\"=\"b\"\n", "line 3: value before any [key] line"},
        {key + "[HKCR\\A\n", "line 3: key line without a closing ']'"},
        {key + "[HKCR\\A] ;\n", "line 3: text after the closing ']'"},
        {key + "[-]\n", "line 3: empty key path"},
        {key + "[HKCR\\A\\\\B]\n", "line 3: empty key name in the path"},
        {key + "[HKEY_ELSEWHERE\\A]\n", "line 3: unknown root key 'HKEY_ELSEWHERE'"},
        {key + "junk\n", "line 3: expected a [key], a value or a ';' comment"},
        {key + "\"a\"=\"\0\"\n"s, "line 3: NUL character in the text"},
        {key + "\"abc\n", "line 3: unterminated value name"},
        {key + "\"a\" \"b\"\n", "line 3: expected '=' after the value name"},
        {key + "\"a\"=\"b\\\"\n", "line 3: unterminated string"},
        {key + "\"a\"=\"b\" c\n", "line 3: text after the closing quote"},
        {key + "\"a\"=-x\n", "line 3: text after '-'"},
        {key + "\"a\"=str:\"b\"\n",
         "line 3: unknown value data (expected \"text\", dword:, hex: or -)"},
        {key + "\"a\"=dword:123456789\n", "line 3: bad dword value (expected 1 to 8 hex digits)"},
        {key + "\"a\"=dword:\n", "line 3: bad dword value (expected 1 to 8 hex digits)"},
        {key + "\"a\"=hex(2:00\n",
         "line 3: bad hex(type) (expected 1 to 8 hex digits in parentheses)"},
        {key + "\"a\"=hex;00\n", "line 3: expected ':' after hex"},
        {key + "\"a\"=hex:123\n", "line 3: bad hex byte"},
        {key + "\"a\"=hex:01,,02\n", "line 3: bad hex byte"},
        {key + "\"a\"=hex:01 02\n", "line 3: expected ',' between hex bytes"},
        {key + "\"a\"=hex:01,\\ 02\n", "line 3: text after the continuation '\\'"},
        {key + "\"a\"=hex:01,\\\n  02,\\\n  ;x\n", "line 5: bad hex byte"},
        {key + "\"a\"=hex:01,\\\n\n", "line 4: blank line where the hex data goes on"},
        {key + "\"a\"=hex:01,\\\n", "line 3: hex data goes on past the end of the file"},
    };
    for (const auto &[file, expected] : cases) {
        RegExportClasses out;
        out.has_user = true;
        std::string error;
        EXPECT_FALSE(read_reg_export(file, 1252, out, error)) << expected;
        EXPECT_EQ(error, expected);
        EXPECT_TRUE(!out.has_user && out.machine.children.empty());
    }
    RegExportClasses out;
    std::string error;
    EXPECT_FALSE(read_reg_export(V5, 437, out, error));
    EXPECT_EQ(error, "code page 437 is not supported");
}

TEST(RegExport, DeepAndLargeFilesStayLinear) {
    std::string deep = "[HKCR\\Wow6432Node";
    for (std::size_t i = 1; i < REG_EXPORT_MAX_DEPTH; i++)
        deep += "\\k";
    RegExportClasses out;
    std::string error;
    EXPECT_TRUE(read_reg_export(V5 + deep + "]\n", 1252, out, error)) << error;
    EXPECT_FALSE(read_reg_export(V5 + deep + "\\k]\n", 1252, out, error));
    EXPECT_EQ(error, "line 3: key path deeper than 512 levels below the classes root");

    // 100,000 classes; then one key re-created 100,000 times and 100,000 values in one key.
    std::string file = V5;
    char line[256];
    for (int i = 0; i < 100000; i++) {
        std::snprintf(line, sizeof line,
                      "[HKEY_CLASSES_ROOT\\CLSID\\{%08X-0000-4000-8000-000000000000}]\r\n"
                      "@=\"Class %d\"\r\n"
                      "[HKEY_CLASSES_ROOT\\CLSID\\{%08X-0000-4000-8000-000000000000}\\"
                      "InprocServer32]\r\n@=\"C:\\\\Windows\\\\c%d.dll\"\r\n"
                      "\"ThreadingModel\"=\"Both\"\r\n",
                      i, i, i, i);
        file += line;
    }
    for (int i = 0; i < 100000; i++)
        file += "[HKCR\\Again\\Sub]\n[-HKCR\\again]\n";
    file += "[HKCR\\Many]\n";
    for (int i = 0; i < 100000; i++)
        file +=
            "\"v" + std::to_string(i % 50000) + "\"=dword:1\n\"v" + std::to_string(i) + "\"=-\n";
    const auto start = std::chrono::steady_clock::now();
    const RegExportClasses classes = read_ok(file);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(find(classes.machine, "CLSID")->children.size(), 100000u);
    EXPECT_EQ(children_of(&classes.machine), "CLSID,Many,");
    EXPECT_EQ(find(classes.machine, "Many")->values.size(), 50000u);
    EXPECT_LT(seconds, 20.0) << "a quadratic step: " << file.size() << " bytes";
}

} // namespace
