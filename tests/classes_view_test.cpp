// Tests of the merged classes view and of the rules run over it: precedence, union, views, sides.
#include "classes/classes_merge.h"
#include "clsidscan/scan_output.h"
#include "registry/code_page.h"
#include "registry/platform_memory.h"
#include "rules/class_scan.h"
#include "rules/shadow_rule.h"

#include <gtest/gtest.h>

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
    RuleReport run(ScanRule rule, ScanView which = ScanView::Bits64) {
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
    EXPECT_TRUE(scan.run(ScanRule::Bare, ScanView::Bits64).found.empty());
    EXPECT_EQ(scan.run(ScanRule::Name, ScanView::Bits64).found.size(), 1u);
    RuleReport x86 = scan.run(ScanRule::Bare, ScanView::Bits32);
    ASSERT_EQ(x86.found.size(), 1u);
    EXPECT_EQ(x86.found[0].key, "{32}");
    EXPECT_TRUE(scan.run(ScanRule::Name, ScanView::Bits32).found.empty());
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
    for (ScanView which : {ScanView::Bits64, ScanView::Bits32}) {
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
                classes(which == ScanView::Bits64 ? classes_keys : std::vector<SourceKey>{});
            if (which == ScanView::Bits32)
                root.children.push_back(key(u"Wow6432Node", {}, {key(u"CLSID", {}, classes_keys)}));
            return root;
        };
        Scan scan;
        ASSERT_TRUE(scan.add("SOFTWARE", ClassesSide::Machine, side(machine)));
        scan.view.code_page = 932;
        build_classes_view(scan.sides, scan.view);
        RuleReport other = scan_shadowed_classes(
            scan.view, scan.sides, which == ScanView::Bits64 ? ScanView::Bits32 : ScanView::Bits64);
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
                                  which == ScanView::Bits64 ? ScanView::Bits32 : ScanView::Bits64)
                .found.empty());
    }
}
