// The shadow rule: per-user class registrations that replace the machine's server.
#include "rules/shadow_rule.h"

#include "registry/code_page.h"
#include "registry/platform_memory.h"

#include <algorithm>
#include <optional>

const char LABEL_USER_INPROC[] = "\\Inproc (user) \t";
const char LABEL_MACHINE_INPROC[] = "\\Inproc (mach) \t";
const char LABEL_USER_LOCAL[] = "\\Local (user)  \t";
const char LABEL_MACHINE_LOCAL[] = "\\Local (mach)  \t";
const char LABEL_USER_TREATAS[] = "\\TreatAs (user)\t";
const char LABEL_MACHINE_TREATAS[] = "\\TreatAs (mach)\t";
const char LABEL_USER_HANDLER[] = "\\Handler (user)\t";
const char LABEL_MACHINE_HANDLER[] = "\\Handler (mach)\t";
const char LABEL_USER_CODEBASE[] = "\\CodeBase(user)\t";
const char LABEL_MACHINE_CODEBASE[] = "\\CodeBase(mach)\t";
const char LABEL_USER_EXECUTABLE[] = "\\Exec (user)   \t";
const char LABEL_MACHINE_EXECUTABLE[] = "\\Exec (mach)   \t";

static_assert(sizeof LABEL_USER_INPROC - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_INPROC - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_USER_LOCAL - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_LOCAL - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_USER_TREATAS - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_TREATAS - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_USER_HANDLER - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_HANDLER - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_USER_CODEBASE - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_CODEBASE - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_USER_EXECUTABLE - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_MACHINE_EXECUTABLE - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");

namespace {

// The values COM reads to load a class: each subkey's default, and the named values that take
// the place of a server's default (CodeBase for the CLR, ServerExecutable for a local server).
struct ServerSubkey {
    const char16_t *name;
    const char16_t *value; // empty: the default
    const char *user_label;
    const char *machine_label;
    const char *finding_subkey; // what the finding calls it
};

const ServerSubkey SERVER_SUBKEYS[] = {
    {u"InprocServer32", u"", LABEL_USER_INPROC, LABEL_MACHINE_INPROC, "InprocServer32"},
    {u"LocalServer32", u"", LABEL_USER_LOCAL, LABEL_MACHINE_LOCAL, "LocalServer32"},
    {u"TreatAs", u"", LABEL_USER_TREATAS, LABEL_MACHINE_TREATAS, "TreatAs"},
    {u"InprocHandler32", u"", LABEL_USER_HANDLER, LABEL_MACHINE_HANDLER, "InprocHandler32"},
    {u"InprocServer32", u"CodeBase", LABEL_USER_CODEBASE, LABEL_MACHINE_CODEBASE,
     "InprocServer32\\CodeBase"},
    {u"LocalServer32", u"ServerExecutable", LABEL_USER_EXECUTABLE, LABEL_MACHINE_EXECUTABLE,
     "LocalServer32\\ServerExecutable"},
};

// What the walk on this thread compares: the CLSID keys of the two sides, and where to put what
// it finds.
struct ShadowWalk {
    const ClassesSides *sides = nullptr;
    const MemoryKey *machine_classes = nullptr;
    const MemoryKey *user_classes = nullptr;
    unsigned code_page = 0; // the view's
    RuleReport *result = nullptr;
};

thread_local ShadowWalk walk;

std::string stored(const std::u16string &name) {
    return text_to_utf16le_bytes(name);
}

// String data as UTF-8, up to its first NUL.
std::string stored_text(const std::string &data) {
    std::u16string text = utf16le_bytes_to_text(data);
    return utf16_to_utf8(text.substr(0, text.find(u'\0')));
}

// The text of the string value `name` (empty: the default) of `subkey` below `key`, when it has
// one.
std::optional<std::u16string> subkey_string(const MemoryRegistry &side, const MemoryKey &key,
                                            const char16_t *subkey, const char16_t *name) {
    const MemoryKey *sub = memory_child(side, key, stored(subkey));
    if (!sub)
        return std::nullopt;
    std::string wanted = stored(name);
    for (const MemoryValue &value : sub->values)
        if ((wanted.empty() ? value.name.empty()
                            : memory_compare_names(side, value.name, wanted) == 0) &&
            (value.type == 1 || value.type == 2)) {
            std::u16string text = utf16le_bytes_to_text(value.data);
            return text.substr(0, text.find(u'\0'));
        }
    return std::nullopt;
}

bool same_text(const MemoryRegistry &side, const std::u16string &a, const std::u16string &b) {
    return a.size() == b.size() && memory_compare_names(side, stored(a), stored(b)) == 0;
}

void collect_shadow(const ClassKey &cls, ReportText &report) {
    const MemoryKey *merged = memory_key_of(cls.key);
    const MemoryRegistry &machine = walk.sides->machine, &user = walk.sides->user;
    if (!merged)
        return;
    const MemoryKey *machine_class = memory_child(machine, *walk.machine_classes, merged->name);
    const MemoryKey *user_class = memory_child(user, *walk.user_classes, merged->name);
    if (!machine_class || !user_class)
        return;
    char description[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long description_bytes = 0;
    // The report's description, when the first value is the default string (else empty); the
    // found class keeps that same value's UTF-16 text.
    const bool described = read_default_string(cls.key, description, &description_bytes);
    const std::u16string class_name = utf16le_bytes_to_text(merged->name);
    for (const ServerSubkey &subkey : SERVER_SUBKEYS) {
        std::optional<std::u16string> theirs =
            subkey_string(user, *user_class, subkey.name, subkey.value);
        if (!theirs || (*subkey.value && theirs->empty()))
            continue;
        std::optional<std::u16string> ours =
            subkey_string(machine, *machine_class, subkey.name, subkey.value);
        if (ours && same_text(user, *theirs, *ours))
            continue;
        // A TreatAs naming the class itself sends nothing elsewhere.
        if (subkey.name == SERVER_SUBKEYS[2].name && same_text(user, *theirs, class_name))
            continue;
        std::string user_text = utf16_to_code_page(walk.code_page, *theirs);
        std::string machine_text = ours ? utf16_to_code_page(walk.code_page, *ours) : std::string();
        EntryLine lines[] = {{LABEL_DESCRIPTION, description},
                             {subkey.user_label, user_text.c_str()},
                             {subkey.machine_label, machine_text.c_str()}};
        std::size_t start = report.length;
        if (!append_entry(report, cls.name, lines, 3, true)) {
            walk.result->out_of_memory = true;
            return;
        }
        FoundClass found = found_class_entry(cls, report, start);
        found.description = described ? stored_text(merged->values[0].data) : std::string();
        found.subkey = subkey.finding_subkey;
        if (subkey.user_label == LABEL_USER_HANDLER)
            found.judged =
                FoundClass::JudgedValue{utf16_to_utf8(*theirs), false, ServerKind::InProcess};
        // What the finding rests on is the user's registration: its class key and subkey.
        found.server_class = user_class;
        found.written = user_class->written;
        if (const MemoryKey *user_subkey = memory_child(user, *user_class, stored(subkey.name)))
            found.written = std::max(found.written, user_subkey->written);
        found.server_path = utf16_to_utf8(*theirs);
        found.machine_has_server = ours.has_value();
        found.machine_server = ours ? utf16_to_utf8(*ours) : std::string();
        walk.result->found.push_back(std::move(found));
    }
}

} // namespace

RuleReport scan_shadowed_classes(const MemoryRegistry &view, const ClassesSides &sides,
                                 Bitness which) {
    RuleReport result;
    result.view = which;
    result.rule = ScanRule::Shadow;
    if (!sides.has_machine || !sides.has_user)
        return result;
    walk.sides = &sides;
    walk.machine_classes = classes_clsid(sides.machine, which);
    walk.user_classes = classes_clsid(sides.user, which);
    walk.code_page = view.code_page;
    walk.result = &result;
    if (walk.machine_classes && walk.user_classes)
        walk_view(view, which, collect_shadow, result);
    walk = ShadowWalk();
    return result;
}
