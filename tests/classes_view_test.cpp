// Tests of the merged classes view and of the rules run over it: precedence, union, views, sides.
#include "classes/classes_merge.h"
#include "clsidscan/scan_output.h"
#include "registry/code_page.h"
#include "registry/platform_memory.h"
#include "rules/class_scan.h"
#include "rules/shadow_rule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

const std::u16string BRACED = u"{00000000-0000-0000-0000-000000000000}";

std::string sz(const std::u16string &text) {
    return text_to_utf16le_bytes(text + u'\0');
}

SourceKey key(const std::u16string &name, std::vector<SourceValue> values = {},
              std::vector<SourceKey> children = {}) {
    return SourceKey{name, std::move(values), std::move(children)};
}

SourceValue text(const std::u16string &name, const std::u16string &value) {
    return SourceValue{name, 1, sz(value)};
}

SourceKey classes(std::vector<SourceKey> class_keys) {
    return key(u"", {}, {key(u"CLSID", {}, std::move(class_keys))});
}

struct Scan {
    ClassesSides sides;
    MemoryRegistry view;
    std::string error;
    bool add(const std::string &file, ClassesSide side, const SourceKey &root) {
        return add_classes_source(sides, file, side, root, error);
    }
    RuleReport run(ScanRule rule, Bitness which = Bitness::Bits64) {
        if (!view.root->children.size()) {
            view.code_page = 932;
            build_classes_view(sides, view);
        }
        RuleReport report = scan_classes(view, which, rule);
        EXPECT_EQ(memory_platform_open_handles(), 0);
        return report;
    }
};

} // namespace

TEST(ClassesViewTest, AClassSplitAcrossTheSidesIsJudgedOnTheMergedViewWithTheUsersValues) {
    Scan scan;
    ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine,
                         classes({key(u"{A}", {text(u"", u"Helper")},
                                      {key(u"InprocServer32", {text(u"", u"C:\\m.dll")})}),
                                  key(u"{C}", {text(u"", u"Qj")})})));
    // The user completes {A} with a TypeLib and replaces its server; for {C} the user's named
    // value sorts after the machine's default value, which so stays the value at index 0.
    ASSERT_TRUE(scan.add("UsrClass.dat", ClassesSide::User,
                         classes({key(u"{a}", {},
                                      {key(u"TypeLib", {text(u"", BRACED)}),
                                       key(u"InprocServer32", {text(u"", u"C:\\u.dll")})}),
                                  key(u"{C}", {text(u"Z", u"named")})})));
    RuleReport bare = scan.run(ScanRule::Bare);
    ASSERT_EQ(bare.found.size(), 1u);
    EXPECT_EQ(bare.found[0].key, "{a}");
    EXPECT_EQ(bare.found[0].description, "Helper");
    EXPECT_EQ(bare.found[0].server_path, "C:\\u.dll");
    EXPECT_EQ(bare.found[0].type_lib, std::string(BRACED.begin(), BRACED.end()));
    EXPECT_EQ(std::string(side_name_of(scan.sides, *bare.found[0].class_key)), "both");
    EXPECT_EQ(bare.text, "HKEY_CLASSES_ROOT\\CLSID\\{a}               \tHelper\n"
                         "HKEY_CLASSES_ROOT\\CLSID\\{a}\\InprocServer32\tC:\\u.dll\n"
                         "HKEY_CLASSES_ROOT\\CLSID\\{a}\\TypeLib       \t" +
                             std::string(BRACED.begin(), BRACED.end()) + "\n\n");

    RuleReport name = scan.run(ScanRule::Name);
    ASSERT_EQ(name.found.size(), 1u);
    EXPECT_EQ(name.found[0].key, "{C}");
    EXPECT_EQ(std::string(side_name_of(scan.sides, *name.found[0].class_key)), "both");
    std::string json = json_found_class(scan.sides, name, name.found[0], "");
    EXPECT_NE(json.find("\"sources\":[\"SOFTWARE\",\"UsrClass.dat\"],\"side\":\"both\""),
              std::string::npos)
        << json;
}

TEST(ClassesViewTest, EachViewIsWalkedAsItsProgramSeesIt) {
    Scan scan;
    SourceKey bare32 = key(u"{32}", {text(u"", u"Thirty-two")},
                           {key(u"InprocServer32", {text(u"", u"C:\\x86.dll")}),
                            key(u"TypeLib", {text(u"", BRACED)})});
    SourceKey root = classes({key(u"{64}", {text(u"", u"Xz")})});
    root.children.push_back(key(u"WOW6432Node", {}, {key(u"CLSID", {}, {bare32})}));
    ASSERT_TRUE(scan.add("UsrClass.dat", ClassesSide::User, root));
    EXPECT_TRUE(scan.run(ScanRule::Bare, Bitness::Bits64).found.empty());
    EXPECT_EQ(scan.run(ScanRule::Name, Bitness::Bits64).found.size(), 1u);
    RuleReport x86 = scan.run(ScanRule::Bare, Bitness::Bits32);
    ASSERT_EQ(x86.found.size(), 1u);
    EXPECT_EQ(x86.found[0].key, "{32}");
    EXPECT_TRUE(scan.run(ScanRule::Name, Bitness::Bits32).found.empty());
}

TEST(ClassesViewTest, SourcesOfOneSideMustAgree) {
    Scan scan;
    SourceKey one = classes({key(u"{A}", {text(u"", u"Qj")})});
    ASSERT_TRUE(scan.add("a.reg", ClassesSide::Machine, one));
    ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine, one)) << "the same data agrees";
    ASSERT_TRUE(scan.add("b.reg", ClassesSide::User, classes({key(u"{A}", {text(u"", u"Qu")})})))
        << "the user's side may differ from the machine's";
    EXPECT_FALSE(
        scan.add("c.reg", ClassesSide::Machine, classes({key(u"{a}", {text(u"", u"Xz")})})));
    EXPECT_EQ(scan.error, "c.reg: disagrees with a.reg on value (default) of CLSID\\{A} (two "
                          "sources of one side must hold the same data)");
}

TEST(ClassesViewTest, TheCodePageDecidesWhatTheAnsiCallsSeeWhileReportsKeepTheOriginalText) {
    for (unsigned code_page : {932u, 1252u}) {
        Scan scan;
        scan.view.code_page = code_page;
        ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine,
                             classes({key(u"{\u00E9}", {text(u"", u"Qj")}),
                                      key(u"{B}", {text(u"", u"Caf\u00E9")},
                                          {key(u"InprocServer32", {text(u"", u"C:\\b.dll")}),
                                           key(u"TypeLib", {text(u"", BRACED)})})})));
        build_classes_view(scan.sides, scan.view);
        // In 932 the class {e-acute} reads as "{?}", a name that opens nothing: it is skipped.
        RuleReport name = scan.run(ScanRule::Name);
        EXPECT_EQ(name.found.size(), code_page == 1252 ? 1u : 0u) << code_page;
        RuleReport bare = scan.run(ScanRule::Bare);
        ASSERT_EQ(bare.found.size(), 1u);
        EXPECT_EQ(bare.found[0].description, "Caf\xC3\xA9");
        EXPECT_NE(bare.text.find(code_page == 1252 ? "\tCaf\xE9\n" : "\tCaf?\n"),
                  std::string::npos);
    }
}

TEST(ClassesViewTest, TheShadowRuleListsServersTheUserSideReplacesInEitherView) {
    auto server = [](const char16_t *subkey, const std::u16string &path) {
        return key(subkey, {text(u"", path)});
    };
    for (Bitness which : {Bitness::Bits64, Bitness::Bits32}) {
        std::vector<SourceKey> machine = {
            key(u"{INPROC}", {text(u"", u"Shell Thing")},
                {server(u"InprocServer32", u"C:\\a.dll")}),
            key(u"{LOCAL}", {}, {server(u"LocalServer32", u"C:\\a.exe")}),
            key(u"{TREATAS}", {}, {server(u"InprocServer32", u"C:\\t.dll")}),
            key(u"{ADDED}", {}, {server(u"LocalServer32", u"C:\\l.exe")}),
            key(u"{CASE}", {}, {server(u"InprocServer32", u"C:\\Same.dll")}),
            key(u"{DESCRIPTION}", {text(u"", u"Machine")},
                {server(u"InprocServer32", u"C:\\d.dll")}),
            key(u"{MACHINE-ONLY}", {}, {server(u"InprocServer32", u"C:\\m.dll")})};
        std::vector<SourceKey> user = {
            key(u"{inproc}", {}, {server(u"InprocServer32", u"C:\\Users\\evil.dll")}),
            key(u"{LOCAL}", {}, {server(u"LocalServer32", u"C:\\Users\\evil.exe")}),
            key(u"{TREATAS}", {}, {server(u"TreatAs", u"{EVIL}")}),
            key(u"{ADDED}", {}, {server(u"InprocServer32", u"C:\\Users\\added.dll")}),
            key(u"{CASE}", {}, {server(u"InprocServer32", u"c:\\SAME.DLL")}),
            key(u"{DESCRIPTION}", {text(u"", u"User")}),
            key(u"{USER-ONLY}", {}, {server(u"InprocServer32", u"C:\\Users\\u.dll")})};
        auto side = [&](std::vector<SourceKey> classes_keys) {
            SourceKey root =
                classes(which == Bitness::Bits64 ? classes_keys : std::vector<SourceKey>{});
            if (which == Bitness::Bits32)
                root.children.push_back(key(u"Wow6432Node", {}, {key(u"CLSID", {}, classes_keys)}));
            return root;
        };
        Scan scan;
        ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine, side(machine)));
        scan.view.code_page = 932;
        build_classes_view(scan.sides, scan.view);
        RuleReport other = scan_shadowed_classes(
            scan.view, scan.sides, which == Bitness::Bits64 ? Bitness::Bits32 : Bitness::Bits64);
        EXPECT_TRUE(other.found.empty()) << "one side only: nothing to compare";

        Scan both;
        ASSERT_TRUE(both.add("SOFTWARE", ClassesSide::Machine, side(machine)));
        ASSERT_TRUE(both.add("UsrClass.dat", ClassesSide::User, side(user)));
        both.view.code_page = 932;
        build_classes_view(both.sides, both.view);
        RuleReport report = scan_shadowed_classes(both.view, both.sides, which);
        EXPECT_EQ(memory_platform_open_handles(), 0);
        std::vector<std::string> listed;
        for (const FoundClass &found : report.found)
            listed.push_back(found.key + " " + found.subkey + " " + found.server_path + " <- " +
                             (found.machine_has_server ? found.machine_server : "(none)"));
        EXPECT_EQ(listed, (std::vector<std::string>{
                              "{ADDED} InprocServer32 C:\\Users\\added.dll <- (none)",
                              "{inproc} InprocServer32 C:\\Users\\evil.dll <- C:\\a.dll",
                              "{LOCAL} LocalServer32 C:\\Users\\evil.exe <- C:\\a.exe",
                              "{TREATAS} TreatAs {EVIL} <- (none)"}));
        EXPECT_NE(report.text.find(
                      "HKEY_CLASSES_ROOT\\CLSID\\{inproc}               \tShell Thing\n"
                      "HKEY_CLASSES_ROOT\\CLSID\\{inproc}\\Inproc (user) \tC:\\Users\\evil.dll\n"
                      "HKEY_CLASSES_ROOT\\CLSID\\{inproc}\\Inproc (mach) \tC:\\a.dll\n\n"),
                  std::string::npos)
            << report.text;
        EXPECT_TRUE(
            scan_shadowed_classes(both.view, both.sides,
                                  which == Bitness::Bits64 ? Bitness::Bits32 : Bitness::Bits64)
                .found.empty());
    }
}

// Two sources of one side whose class names interleave, as random GUIDs do, and a key whose
// values interleave: each class went into the middle of a sorted vector and each value was
// looked for among all before it. Built for debugging, merging the classes took 80 s and the
// values two and a half minutes; in linear time both take under a second (two with sanitizers).
TEST(ClassesViewTest, MergingSourcesOfOneSideIsNotQuadratic) {
    const std::size_t classes_per_source = 100000, values_per_source = 30000;
    auto hex = [](std::size_t n) {
        std::u16string text(8, u'0');
        for (std::size_t i = 8; i-- > 0; n >>= 4)
            text[i] = u"0123456789ABCDEF"[n & 15];
        return text;
    };
    SourceKey first = classes({}), second = classes({});
    for (std::size_t i = 0; i < 2 * classes_per_source; i++) {
        SourceKey one = key(u"{" + hex(i) + u"}", {text(u"", u"Qj")});
        if (i % 1000 < 2)
            one.children.push_back(key(u"InprocServer32", {text(u"", u"C:\\s.dll")}));
        (i % 2 ? second : first).children[0].children.push_back(std::move(one));
    }
    SourceKey many = key(u"{MANY}");
    SourceKey others = key(u"{many}");
    for (std::size_t i = 0; i < 2 * values_per_source; i++)
        (i % 2 ? others : many).values.push_back(text(u"v" + hex(i), u"x"));
    many.values.push_back(text(u"shared", u"same")); // held by both, alike
    others.values.push_back(text(u"SHARED", u"same"));
    first.children[0].children.push_back(std::move(many));
    second.children[0].children.push_back(std::move(others));

    Scan scan;
    ASSERT_TRUE(
        add_classes_source(scan.sides, "a.reg", ClassesSide::Machine, std::move(first), scan.error))
        << scan.error;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(add_classes_source(scan.sides, "b.reg", ClassesSide::Machine, std::move(second),
                                   scan.error))
        << scan.error;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 20.0) << "a quadratic step in merging sources of one side";

    const MemoryKey &clsid = *scan.sides.machine.root->children.at(0);
    ASSERT_EQ(clsid.children.size(), 2 * classes_per_source + 1);
    for (std::size_t i = 1; i < clsid.children.size(); i++)
        ASSERT_LT(memory_compare_names(scan.sides.machine, clsid.children[i - 1]->name,
                                       clsid.children[i]->name),
                  0)
            << i;
    const MemoryKey &from_second = *clsid.children[1];
    EXPECT_EQ(utf16le_bytes_to_text(from_second.name), u"{" + hex(1) + u"}");
    EXPECT_EQ(from_second.sources, std::u16string(1, char16_t(1)));
    EXPECT_EQ(from_second.parent, &clsid);
    ASSERT_EQ(from_second.children.size(), 1u);
    EXPECT_EQ(from_second.children[0]->parent, &from_second);
    EXPECT_EQ(from_second.children[0]->sources, std::u16string(1, char16_t(1)));
    EXPECT_EQ(from_second.values.size(), 1u);
    EXPECT_EQ(clsid.children[2]->sources, std::u16string(1, char16_t(0)));
    const MemoryKey &both = *clsid.children.back();
    EXPECT_EQ(utf16le_bytes_to_text(both.name), u"{MANY}");
    EXPECT_EQ(both.sources, (std::u16string{char16_t(0), char16_t(1)}));
    // The first source's values in their order, then the second's new ones in theirs.
    ASSERT_EQ(both.values.size(), 2 * values_per_source + 1);
    EXPECT_EQ(utf16le_bytes_to_text(both.values[0].name), u"v" + hex(0));
    EXPECT_EQ(utf16le_bytes_to_text(both.values[values_per_source].name), u"shared");
    EXPECT_EQ(utf16le_bytes_to_text(both.values[values_per_source + 1].name), u"v" + hex(1));
    EXPECT_EQ(utf16le_bytes_to_text(both.values.back().name),
              u"v" + hex(2 * values_per_source - 1));
}

// Agreement is checked value by value in the later source's order: the first value that differs
// is the one named, and a value the source repeats is one value.
TEST(ClassesViewTest, TheFirstDisagreeingValueInTheLaterSourceIsNamed) {
    Scan scan;
    ASSERT_TRUE(scan.add(
        "a.reg", ClassesSide::User,
        classes({key(u"{A}", {text(u"", u"one"), text(u"Zed", u"z"), text(u"Mid", u"m")})})));
    ASSERT_TRUE(scan.add("b.reg", ClassesSide::User,
                         classes({key(u"{a}", {text(u"mid", u"m"), text(u"New", u"n"),
                                               text(u"NEW", u"n"), text(u"", u"one")})})));
    const MemoryKey &a = *scan.sides.user.root->children.at(0)->children.at(0);
    ASSERT_EQ(a.values.size(), 4u);
    EXPECT_EQ(utf16le_bytes_to_text(a.values[3].name), u"New");
    EXPECT_FALSE(
        scan.add("c.reg", ClassesSide::User,
                 classes({key(u"{A}", {text(u"", u"one"), text(u"zed", u"Z"), text(u"Added", u"a"),
                                       text(u"", u"two"), text(u"Mid", u"other")})})));
    EXPECT_EQ(scan.error, "c.reg: disagrees with a.reg on value \"zed\" of CLSID\\{A} (two "
                          "sources of one side must hold the same data)");
    Scan repeated;
    ASSERT_TRUE(repeated.add("a.reg", ClassesSide::User, classes({key(u"{A}")})));
    EXPECT_FALSE(repeated.add("b.reg", ClassesSide::User,
                              classes({key(u"{B}", {text(u"x", u"1"), text(u"X", u"2")})})));
    EXPECT_EQ(repeated.error, "b.reg: disagrees with b.reg on value \"X\" of CLSID\\{B} (two "
                              "sources of one side must hold the same data)");
}

// The shadow rule's JSON description is the class key's default string as its text report reads
// it, not whatever value comes first: an AppID, or a REG_DWORD default read as UTF-16.
TEST(ClassesViewTest, TheShadowRulesJsonDescriptionIsTheDefaultStringOnly) {
    auto server = [](const std::u16string &path) {
        return key(u"InprocServer32", {text(u"", path)});
    };
    Scan scan;
    ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine,
                         classes({key(u"{APPID}", {text(u"AppID", u"{A}")}, {server(u"C:\\a.dll")}),
                                  key(u"{DWORD}", {SourceValue{u"", 4, std::string("B\0A\0", 4)}},
                                      {server(u"C:\\d.dll")}),
                                  key(u"{NAMED}", {text(u"", u"Real Name"), text(u"AppID", u"{N}")},
                                      {server(u"C:\\n.dll")})})));
    ASSERT_TRUE(scan.add("UsrClass.dat", ClassesSide::User,
                         classes({key(u"{APPID}", {}, {server(u"C:\\Users\\a.dll")}),
                                  key(u"{DWORD}", {}, {server(u"C:\\Users\\d.dll")}),
                                  key(u"{NAMED}", {}, {server(u"C:\\Users\\n.dll")})})));
    scan.view.code_page = 932;
    build_classes_view(scan.sides, scan.view);
    RuleReport report = scan_shadowed_classes(scan.view, scan.sides, Bitness::Bits64);
    EXPECT_EQ(memory_platform_open_handles(), 0);
    ASSERT_EQ(report.found.size(), 3u);
    std::vector<std::string> descriptions;
    for (const FoundClass &found : report.found) {
        const std::string json = json_found_class(scan.sides, report, found, "");
        const std::size_t at = json.find(",\"description\":");
        ASSERT_NE(at, std::string::npos) << json;
        descriptions.push_back(found.key + " " +
                               json.substr(at + 15, json.find(",\"subkey\"") - at - 15));
    }
    EXPECT_EQ(descriptions,
              (std::vector<std::string>{"{APPID} \"\"", "{DWORD} \"\"", "{NAMED} \"Real Name\""}));
    EXPECT_NE(report.text.find("HKEY_CLASSES_ROOT\\CLSID\\{APPID}               \t\n"),
              std::string::npos)
        << report.text;
    EXPECT_NE(report.text.find("HKEY_CLASSES_ROOT\\CLSID\\{NAMED}               \tReal Name\n"),
              std::string::npos)
        << report.text;
}
