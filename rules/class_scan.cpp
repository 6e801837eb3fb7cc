// The class rules as clsid-scan runs them: the programs' rules and report lines, and the found
// classes kept as data with the registry's own text.
#include "rules/class_scan.h"

#include "barescan/bare_server_rule.h"
#include "namescan/random_name_rule.h"
#include "registry/code_page.h"
#include "registry/platform_memory.h"
#include "scanframe/scanframe.h"

#include <algorithm>

namespace {

// The report a walk on this thread is collecting into; the rules below add to it.
thread_local RuleReport *collecting = nullptr;

// The text of a key's default value as the registry holds it: the UTF-16 data up to its first
// NUL, the same text the ANSI read cut at its first NUL byte.
std::string default_text(const MemoryKey *key) {
    if (!key || key->values.empty())
        return std::string();
    std::u16string text = utf16le_bytes_to_text(key->values[0].data);
    return utf16_to_utf8(text.substr(0, text.find(u'\0')));
}

FoundClass found_class(const ClassKey &cls, const ClassFinding &finding, const ReportText &report,
                       std::size_t start) {
    FoundClass found = found_class_entry(cls, report, start);
    found.score = finding.score;
    return found;
}

void collect_bare_server(const ClassKey &cls, ReportText &report) {
    ClassFinding finding;
    if (find_bare_server(cls, finding)) {
        std::size_t start = report.length;
        if (append_bare_server_entry(report, finding)) {
            FoundClass found = found_class(cls, finding, report, start);
            found.server_path = default_text(memory_key_of(cls.handles->inproc_server32_key));
            found.type_lib = default_text(memory_key_of(cls.handles->type_lib_key));
            for (RegKey subkey : {cls.handles->inproc_server32_key, cls.handles->type_lib_key})
                if (const MemoryKey *key = memory_key_of(subkey))
                    found.written = std::max(found.written, key->written);
            collecting->found.push_back(std::move(found));
        } else {
            collecting->out_of_memory = true;
        }
    }
    close_key(cls.handles->inproc_server32_key);
    close_key(cls.handles->type_lib_key);
}

void collect_random_name(const ClassKey &cls, ReportText &report) {
    ClassFinding finding;
    if (!find_random_name(cls, finding))
        return;
    std::size_t start = report.length;
    if (append_random_name_entry(report, finding))
        collecting->found.push_back(found_class(cls, finding, report, start));
    else
        collecting->out_of_memory = true;
}

} // namespace

FoundClass found_class_entry(const ClassKey &cls, const ReportText &report, std::size_t start) {
    FoundClass found;
    found.entry.assign(report.text + start, report.length - start);
    found.class_key = memory_key_of(cls.key);
    found.key = found.class_key ? utf16_to_utf8(utf16le_bytes_to_text(found.class_key->name))
                                : std::string(cls.name);
    found.description = default_text(found.class_key);
    found.written = found.class_key ? found.class_key->written : 0;
    return found;
}

const char *rule_name(ScanRule rule) {
    switch (rule) {
    case ScanRule::Bare:
        return "bare";
    case ScanRule::Name:
        return "name";
    case ScanRule::Shadow:
        return "shadow";
    case ScanRule::Scriptlet:
        return "scriptlet";
    case ScanRule::TreatAs:
        return "treatas";
    case ScanRule::Abandoned:
        return "abandoned";
    case ScanRule::UserPath:
        return "userpath";
    case ScanRule::Handler:
        return "handler";
    case ScanRule::Known:
        return "known";
    case ScanRule::Stock:
        return "stock";
    case ScanRule::UserClass:
        return "userclass";
    case ScanRule::Deleted:
        return "deleted";
    }
    return "?";
}

int view_bits(Bitness view) {
    return view == Bitness::Bits64 ? 64 : 32;
}

const MemoryKey *classes_clsid(const MemoryRegistry &tree, Bitness which) {
    const MemoryKey *key = tree.root.get();
    if (key && which == Bitness::Bits32)
        key = memory_child(tree, *key, text_to_utf16le_bytes(u"Wow6432Node"));
    return key ? memory_child(tree, *key, text_to_utf16le_bytes(u"CLSID")) : nullptr;
}

RuleReport scan_classes(const MemoryRegistry &view, Bitness which, ScanRule rule) {
    RuleReport result;
    result.view = which;
    result.rule = rule;
    collecting = &result;
    walk_view(view, which, rule == ScanRule::Bare ? collect_bare_server : collect_random_name,
              result);
    collecting = nullptr;
    return result;
}

void walk_view(const MemoryRegistry &view, Bitness which, ClassRule rule, RuleReport &result) {
    std::shared_ptr<MemoryKey> root = view.root;
    if (which == Bitness::Bits32) {
        // A 32-bit program's HKEY_CLASSES_ROOT\CLSID is Wow6432Node\CLSID.
        std::shared_ptr<MemoryKey> redirected;
        if (memory_open(view, view.root, "Wow6432Node", redirected) != REG_SUCCESS)
            return;
        root = redirected;
    }
    memory_platform_use(view, root);
    ReportText report;
    if (!report_create(report)) {
        result.out_of_memory = true;
        return;
    }
    RunHandles handles = {nullptr, nullptr, nullptr, nullptr};
    walk_classes(rule, report, handles);
    close_all_keys(handles);
    result.text.assign(report.text, report.length);
    report_release(report);
}
