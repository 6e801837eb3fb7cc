// The live source over the stand-in's wide calls: exact reads of both sides and views, and every
// failing call of a read.
#include "evidence/live_source.h"
#include "registry/code_page.h"
#include "tests/stand_in_test.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using fake::WideRoot;

constexpr RegStatus INJECTED = 0x7E57;

std::string utf16le(const std::u16string &text) {
    return text_to_utf16le_bytes(text);
}

SourceValue value(const std::u16string &name, unsigned long type, const std::string &data) {
    return SourceValue{name, type, data};
}

SourceKey key(const std::u16string &name, std::vector<SourceValue> values,
              std::vector<SourceKey> children = {}) {
    return SourceKey{name, std::move(values), std::move(children)};
}

// Puts `tree` into the stand-in's wide tree at `path` (the tree's own name is not used).
void put(WideRoot root, const std::u16string &path, const SourceKey &tree) {
    fake::add_wide_key(root, path);
    for (const SourceValue &v : tree.values)
        fake::add_wide_value(root, path, v.name, v.type, v.data);
    for (const SourceKey &child : tree.children)
        put(root, path + u"\\" + child.name, child);
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
        out += std::string{digits[c >> 4], digits[c & 15]};
    return out;
}

// One sorted line per key: its path, then its values in order with their exact bytes.
void dump(const SourceKey &tree, const std::u16string &path, std::vector<std::string> &lines) {
    std::string line = utf16_to_utf8(path) + ":";
    for (const SourceValue &v : tree.values)
        line += " [" + utf16_to_utf8(v.name) + "] " + std::to_string(v.type) + " " + hex(v.data);
    lines.push_back(line);
    for (const SourceKey &child : tree.children)
        dump(child, path + u"\\" + child.name, lines);
}
std::string dump(const SourceKey &tree) {
    std::vector<std::string> lines;
    dump(tree, tree.name, lines);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &line : lines)
        out += line + "\n";
    return out;
}

// A side's classes as the tests build them; every one has a Japanese class name, data without a
// terminator or of odd length, data and value names longer than the reader's first buffers.
SourceKey machine_classes() {
    std::string big(10000, '\x5A');
    big[9999] = '\0';
    SourceKey clsid = key(
        u"CLSID", {value(u"", 1, utf16le(u"root"))},
        {key(u"{A}", {value(u"", 1, utf16le(std::u16string(u"Plain\0", 6)))},
             {key(u"InprocServer32", {value(u"", 1, utf16le(std::u16string(u"C:\\a.dll\0", 9))),
                                      value(u"ThreadingModel", 1, utf16le(u"Both"))})}),
         key(u"{B}表計算",
             {value(u"", 1, utf16le(u"未終端")), value(u"empty", 1, ""), value(u"odd", 1, "abc"),
              value(u"big", 3, big),
              value(std::u16string(300, u'v'), 4, std::string("\x01\0\0\0", 4)),
              value(std::u16string(16383, u'w'), 2, utf16le(u"%x%"))},
             {key(std::u16string(255, u'k'), {}, {key(u"deeper", {}, {key(u"deepest", {})})})})});
    SourceKey wow = key(u"Wow6432Node", {},
                        {key(u"CLSID", {}, {key(u"{C}", {value(u"", 1, utf16le(u"Щит"))})})});
    return key(u"", {}, {clsid, wow});
}

SourceKey user_classes() {
    return key(u"", {},
               {key(u"CLSID", {},
                    {key(u"{A}", {}, {key(u"InprocServer32", {value(u"", 1, utf16le(u"C:\\u"))})}),
                     key(u"{ユーザー}", {value(u"", 1, utf16le(u"Qxq"))})}),
                key(u"Wow6432Node", {}, {key(u"CLSID", {}, {key(u"{D}", {})})})});
}

// Both sides, with keys beside them that the live source must not read.
void build_both_sides() {
    put(WideRoot::LocalMachine, u"Software\\Classes", machine_classes());
    put(WideRoot::CurrentUser, u"Software\\Classes", user_classes());
    fake::add_wide_value(WideRoot::LocalMachine, u"Software\\Classes\\.txt", u"", 1, "x");
    fake::add_wide_key(WideRoot::LocalMachine, u"Software\\Classes\\Wow6432Node\\Interface\\{I}");
    fake::add_wide_key(WideRoot::LocalMachine, u"Software\\Other\\CLSID\\{O}");
}

struct LiveRead {
    bool ok;
    SourceKey machine, user;
    bool machine_present = false, user_present = false;
    std::vector<std::string> notes;
    std::string error;
};

LiveRead read_both() {
    LiveRead r;
    r.ok = read_live_side(reg_local_machine_w(), "HKLM", r.machine, r.machine_present, r.notes,
                          r.error) &&
           read_live_side(reg_current_user_w(), "HKCU", r.user, r.user_present, r.notes, r.error);
    return r;
}

std::string joined(const std::vector<std::string> &notes) {
    std::string out;
    for (const std::string &note : notes)
        out += note + "\n";
    return out;
}

class LiveSourceTest : public StandInTest {};

TEST_F(LiveSourceTest, ReadsBothSidesAndViewsExactlyWithReadOnlyAccess) {
    build_both_sides();
    LiveRead r = read_both();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.machine_present && r.user_present);
    EXPECT_EQ(dump(r.machine), dump(machine_classes()));
    EXPECT_EQ(dump(r.user), dump(user_classes()));
    EXPECT_EQ(joined(r.notes), "");
    for (const fake::Call &call : fake::registry_calls()) {
        EXPECT_NE(call.op, fake::Op::OpenKey) << "an ANSI call";
        if (call.op == fake::Op::OpenKeyW) {
            EXPECT_EQ(call.access, LIVE_KEY_ACCESS) << call.key_path << "\\" << call.name;
        }
    }

    ClassesSides sides;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(add_live_sources(sides, notes, error)) << error;
    ASSERT_EQ(sides.sources.size(), 2u);
    EXPECT_EQ(sides.sources[0].file, "HKLM\\Software\\Classes");
    EXPECT_EQ(sides.sources[1].file, "HKCU\\Software\\Classes");
    EXPECT_TRUE(sides.has_machine && sides.has_user);
}

TEST_F(LiveSourceTest, MissingOptionalKeysLeaveOutWhatIsMissing) {
    put(WideRoot::LocalMachine, u"Software\\Classes\\Wow6432Node\\CLSID\\{C}", key(u"", {}));
    LiveRead r = read_both();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.machine_present);
    EXPECT_FALSE(r.user_present);
    EXPECT_EQ(dump(r.machine), ":\n\\Wow6432Node:\n\\Wow6432Node\\CLSID:\n"
                               "\\Wow6432Node\\CLSID\\{C}:\n");

    ClassesSides sides;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(add_live_sources(sides, notes, error)) << error;
    EXPECT_TRUE(sides.has_machine);
    EXPECT_FALSE(sides.has_user);
    EXPECT_EQ(joined(notes), "HKCU\\Software\\Classes: not found; no classes on that side\n");
}

TEST_F(LiveSourceTest, KeysDeletedDuringTheReadAreLeftOutWithANote) {
    build_both_sides();
    // {A} vanishes between its listing and its open; {B}表計算 while its values are read.
    fake::on_call([](fake::Op op, unsigned long) {
        const auto &calls = fake::registry_calls();
        if (op == fake::Op::OpenKeyW && !calls.empty() && calls.back().op == fake::Op::EnumKeyW &&
            calls.back().key_path == "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID")
            fake::delete_wide_key(WideRoot::LocalMachine, u"Software\\Classes\\CLSID\\{A}");
        if (op == fake::Op::EnumValueW && !calls.empty() &&
            calls.back().key_path == "HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{B}表計算")
            fake::delete_wide_key(WideRoot::LocalMachine, u"Software\\Classes\\CLSID\\{B}表計算");
    });
    LiveRead r = read_both();
    fake::on_call(nullptr);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(joined(r.notes),
              "HKLM\\Software\\Classes\\CLSID\\{A}: listed, then gone when opened (deleted during "
              "the scan); left out\n"
              "HKLM\\Software\\Classes\\CLSID\\{B}表計算: deleted while it was read; left out\n");
    ASSERT_EQ(r.machine.children.size(), 2u);
    EXPECT_TRUE(r.machine.children[0].children.empty());
}

TEST_F(LiveSourceTest, EveryFailingCallIsAnErrorNamingTheKeyAndLeavesNothingOpen) {
    build_both_sides();
    LiveRead clean = read_both();
    ASSERT_TRUE(clean.ok) << clean.error;
    const std::vector<fake::Call> calls = fake::registry_calls();
    for (bool from_then_on : {false, true}) {
        for (unsigned long nth = 1; nth <= calls.size(); nth++) {
            fake::reset();
            build_both_sides();
            fake::fail_call(fake::Op::Any, nth, from_then_on, INJECTED);
            LiveRead r = read_both();
            const fake::Call &failed = calls[nth - 1];
            std::string where = "call " + std::to_string(nth) + " (" + fake::op_name(failed.op) +
                                " " + failed.key_path + ")" + (from_then_on ? " on" : "");
            EXPECT_EQ(fake::open_key_count(), 0) << where;
            EXPECT_EQ(fake::problems(), "") << where;
            if (failed.op == fake::Op::CloseKeyW) {
                // A failing close loses nothing that was read; from then on, the next other call
                // fails, if there is one.
                if (!from_then_on) {
                    EXPECT_TRUE(r.ok) << where << ": " << r.error;
                    EXPECT_EQ(dump(r.machine) + dump(r.user),
                              dump(clean.machine) + dump(clean.user))
                        << where;
                }
                continue;
            }
            EXPECT_FALSE(r.ok) << where;
            std::string path = failed.key_path + (failed.name.empty() ? "" : "\\" + failed.name);
            for (auto [full, shorter] :
                 {std::pair<const char *, const char *>{"HKEY_LOCAL_MACHINE", "HKLM"},
                  {"HKEY_CURRENT_USER", "HKCU"}})
                if (path.compare(0, std::string(full).size(), full) == 0)
                    path = shorter + path.substr(std::string(full).size());
            EXPECT_EQ(r.error.compare(0, path.size() + 2, path + ": "), 0)
                << where << ": " << r.error;
            EXPECT_NE(r.error.find("error 32343"), std::string::npos) << where << ": " << r.error;
        }
    }
}

TEST_F(LiveSourceTest, ValuesThatKeepGrowingAndLinkLoopsEndTheRead) {
    put(WideRoot::LocalMachine, u"Software\\Classes\\CLSID\\{G}",
        key(u"", {value(u"", 3, std::string(5000, 'g'))}));
    std::size_t size = 5000;
    fake::on_call([&size](fake::Op op, unsigned long) {
        if (op == fake::Op::EnumValueW)
            fake::add_wide_value(WideRoot::LocalMachine, u"Software\\Classes\\CLSID\\{G}", u"", 3,
                                 std::string(size += 4096, 'g'));
    });
    LiveRead r = read_both();
    fake::on_call(nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "HKLM\\Software\\Classes\\CLSID\\{G}: reading value number 0: error 234 "
                       "(more data than the read allows)");

    fake::reset();
    std::u16string chain = u"Software\\Classes\\CLSID";
    for (int level = 0; level < 520; level++)
        chain += u"\\k";
    fake::add_wide_key(WideRoot::CurrentUser, chain);
    r = read_both();
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(": keys nested deeper than 512 levels"), std::string::npos) << r.error;
}

} // namespace

TEST_F(LiveSourceTest, EachKeyKeepsItsLastWriteTime) {
    build_both_sides();
    fake::set_wide_key_time(WideRoot::LocalMachine, u"Software\\Classes\\CLSID\\{A}",
                            133000000001234567ULL);
    fake::set_wide_key_time(WideRoot::LocalMachine,
                            u"Software\\Classes\\CLSID\\{A}\\InprocServer32", 7);
    LiveRead r = read_both();
    ASSERT_TRUE(r.ok) << r.error;
    const SourceKey &clsid = r.machine.children[0];
    ASSERT_EQ(clsid.name, u"CLSID");
    EXPECT_EQ(clsid.written, 0u);
    EXPECT_EQ(clsid.children[0].written, 133000000001234567ULL);
    EXPECT_EQ(clsid.children[0].children[0].written, 7u);
}
