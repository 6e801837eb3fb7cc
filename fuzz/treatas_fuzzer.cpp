// libFuzzer target: the TreatAs follower over machine and user classes made from the input, with
// chains, loops, self references, AutoTreatAs and missing classes in both views.
//
// Each class {Ck} (k < 24) takes four bytes a side: whether the side holds it, what its TreatAs
// names (another class, itself, a class that is not there, or nothing), its AutoTreatAs, and
// where its server lies. Every finding must end: its chain starts at its class, holds at most
// the links Windows follows and the one that broke it, and says why it was listed.
#include "classes/classes_merge.h"
#include "files/server_path.h"
#include "registry/code_page.h"
#include "rules/hijack_rules.h"
#include "rules/severity.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int CLASSES = 24;

std::u16string class_name(int k) {
    std::string name = "{C" + std::to_string(k) + "}";
    return std::u16string(name.begin(), name.end());
}

SourceValue text_value(const std::u16string &name, const std::u16string &text) {
    return SourceValue{name, 1, text_to_utf16le_bytes(text + u'\0')};
}

// A class of one side from four bytes: presence, TreatAs, AutoTreatAs, server.
bool add_class(SourceKey &clsid, int k, const std::uint8_t *bytes) {
    if ((bytes[0] & 3) == 0)
        return false;
    SourceKey cls{class_name(k), {text_value(u"", u"Class")}, {}};
    auto target = [&](std::uint8_t b) -> std::u16string {
        switch (b % 8) {
        case 0:
            return class_name(k); // itself
        case 1:
            return u"{MISSING}";
        default:
            return class_name(b / 8 % CLASSES);
        }
    };
    if (bytes[1] & 0x80)
        cls.children.push_back(SourceKey{u"TreatAs", {text_value(u"", target(bytes[1]))}, {}});
    if (bytes[2] & 0x80)
        cls.children.push_back(SourceKey{u"AutoTreatAs", {text_value(u"", target(bytes[2]))}, {}});
    static const char16_t *const servers[] = {u"C:\\Windows\\System32\\ok.dll",
                                              u"C:\\Users\\Public\\x.dll", u"%APPDATA%\\y.dll",
                                              u"scrobj.dll"};
    if (bytes[3] & 0x80)
        cls.children.push_back(
            SourceKey{u"InprocServer32", {text_value(u"", servers[bytes[3] % 4])}, {}});
    clsid.children.push_back(std::move(cls));
    return true;
}

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "treatas_fuzzer: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Two sides, two views, four bytes a class.
    constexpr std::size_t NEEDED = 2 * 2 * CLASSES * 4;
    std::uint8_t bytes[NEEDED] = {};
    for (std::size_t i = 0; i < NEEDED && i < size; i++)
        bytes[i] = data[i];

    ClassesSides sides;
    std::string error;
    for (int side = 0; side < 2; side++) {
        SourceKey root{u"", {}, {}};
        SourceKey clsid{u"CLSID", {}, {}}, wow_clsid{u"CLSID", {}, {}};
        bool any = false;
        for (int k = 0; k < CLASSES; k++) {
            any = add_class(clsid, k, bytes + ((side * 2) * CLASSES + k) * 4) || any;
            any = add_class(wow_clsid, k, bytes + ((side * 2 + 1) * CLASSES + k) * 4) || any;
        }
        if (!any)
            continue;
        root.children.push_back(std::move(clsid));
        root.children.push_back(SourceKey{u"Wow6432Node", {}, {std::move(wow_clsid)}});
        check(add_classes_source(sides, side ? "user" : "machine",
                                 side ? ClassesSide::User : ClassesSide::Machine, std::move(root),
                                 error),
              "a made-up source was refused");
    }
    MemoryRegistry view;
    view.code_page = 1252;
    build_classes_view(sides, view);
    Environment environment = machine_environment();
    add_user_environment(environment, "eve");
    HijackScan scan{&view, &sides, &environment, nullptr};
    static const std::set<std::string> reasons = {"treatas introduced by user",
                                                  "treatas ends at user-writable server",
                                                  "treatas loop",
                                                  "treatas chain too long",
                                                  "treatas target missing",
                                                  "autotreatas alone"};
    for (Bitness which : {Bitness::Bits64, Bitness::Bits32}) {
        RuleReport report = std::move(scan_hijacks(scan, which, {ScanRule::TreatAs}).front());
        check(!report.out_of_memory, "out of memory");
        for (FoundClass &found : report.found) {
            check(found.chain.size() >= 2, "a chain without a link");
            check(found.chain.size() <= MAX_TREATAS_LINKS + 2, "a chain past the links followed");
            check(found.chain.front() == found.key, "a chain that does not start at its class");
            check(found.chain[1] != found.key, "a class that treats itself as itself was listed");
            check(!found.reasons.empty(), "a finding without a reason");
            for (const std::string &reason : found.reasons)
                check(reasons.count(reason) == 1, "an unknown reason");
            bool redirects = found.reasons != std::vector<std::string>{"autotreatas alone"};
            assess_finding(report, found, environment);
            // Only an AutoTreatAs that sends nothing anywhere yet is low.
            check(found.severity != Severity::Low || !redirects,
                  "a treatas finding of low severity");
        }
    }
    return 0;
}
