// The class-hijacking techniques beyond the programs' two shapes, over the merged classes view.
#include "rules/hijack_rules.h"

#include "files/name_case.h"
#include "registry/code_page.h"
#include "rules/severity.h"
#include "scanframe/scanframe.h"

#include <algorithm>
#include <sstream>
#include <unordered_map>

// rules/known_classes.tsv and rules/stock_classes.tsv as they were when the build was configured.
extern const char KNOWN_CLASSES_TSV[];
extern const char STOCK_CLASSES_TSV[];

namespace {

constexpr unsigned long REG_SZ_TYPE = 1, REG_EXPAND_SZ_TYPE = 2;

const char LABEL_SCRIPTLET_URL[] = "\\ScriptletURL  \t";
const char LABEL_TREATAS[] = "\\TreatAs       \t";
const char LABEL_FINAL_SERVER[] = "\\(serves)      \t";
const char LABEL_LOCAL_SERVER32[] = "\\LocalServer32 \t";
const char LABEL_INPROC_HANDLER[] = "\\InprocHandler \t";
const char LABEL_EXPECTED[] = "\\(expected)    \t";
const char LABEL_STOCK[] = "\\(stock)       \t";

static_assert(sizeof LABEL_SCRIPTLET_URL - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_TREATAS - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_FINAL_SERVER - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_LOCAL_SERVER32 - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_INPROC_HANDLER - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_EXPECTED - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");
static_assert(sizeof LABEL_STOCK - 1 == LABEL_FIELD_CHARS, "label fields are 16 wide");

std::string stored(std::u16string_view name) {
    return text_to_utf16le_bytes(std::u16string(name));
}

const MemoryRegistry &names() {
    static const MemoryRegistry tree = memory_utf16_tree();
    return tree;
}

// The last name of a path, without quotes around it.
std::string file_name_of(std::string path) {
    path.erase(std::remove(path.begin(), path.end(), '"'), path.end());
    std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The file a CodeBase names: "file:///C:/x/y.dll" or "file://server/share/y.dll" as a Windows
// path; a plain path as it is.
std::string code_base_path(std::string text) {
    const std::string scheme = "file:";
    if (text.size() >= scheme.size() && equal_folded(text.substr(0, scheme.size()), scheme)) {
        text.erase(0, scheme.size());
        std::size_t slashes = 0;
        while (slashes < text.size() && (text[slashes] == '/' || text[slashes] == '\\'))
            slashes++;
        bool drive = text.size() >= slashes + 2 && text[slashes + 1] == ':';
        text = (drive || slashes < 2 ? "" : "\\\\") + text.substr(slashes);
    }
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// One class of the view as a rule sees it: its merged key and, when they hold it, each side's.
struct ClassSides {
    const MemoryKey *merged = nullptr;
    const MemoryKey *machine = nullptr;
    const MemoryKey *user = nullptr;
};

struct RuleWalk {
    const HijackScan *scan = nullptr;
    Bitness which = Bitness::Bits64;
    ScanRule rule = ScanRule::Scriptlet;
    const MemoryKey *machine_clsid = nullptr;
    const MemoryKey *user_clsid = nullptr;
    const MemoryKey *view_clsid = nullptr;
    RuleReport *report = nullptr;
    ReportText text{};
    ViewEnvironments environments;
};

ClassSides sides_of(const RuleWalk &walk, const MemoryKey &merged) {
    ClassSides sides{&merged, nullptr, nullptr};
    // With one side alone, the view is that side's own tree: no look-up is needed.
    if (walk.machine_clsid == walk.view_clsid)
        sides.machine = &merged;
    else if (walk.machine_clsid)
        sides.machine = memory_child(names(), *walk.machine_clsid, merged.name);
    if (walk.user_clsid == walk.view_clsid)
        sides.user = &merged;
    else if (walk.user_clsid)
        sides.user = memory_child(names(), *walk.user_clsid, merged.name);
    return sides;
}

using Server = ClassServer;

// The registration a finding shows: the user's when the user's classes supply what the rule
// judged, else the machine's (the merged key when the view has one side).
const MemoryKey *shown_side(const ClassSides &cls, bool from_user) {
    if (from_user && cls.user)
        return cls.user;
    return cls.machine ? cls.machine : cls.merged;
}

// The latest write time of `key` and of those of its subkeys the rule read.
unsigned long long keys_written(const MemoryKey *key,
                                std::initializer_list<std::u16string_view> subkeys) {
    if (!key)
        return 0;
    unsigned long long latest = key->written;
    for (std::u16string_view name : subkeys)
        if (const MemoryKey *sub = memory_child(names(), *key, stored(name)))
            latest = std::max(latest, sub->written);
    return latest;
}

// The rules of one pass ask for the servers of the same few keys of a class: the last ones are
// kept, for one class at a time (a key's address may serve another key once a tree is gone).
struct RecentServers {
    std::pair<const MemoryKey *, std::optional<Server>> held[4];
    std::size_t next = 0;
};
thread_local RecentServers recent_servers;

void forget_servers() {
    recent_servers = RecentServers();
}

std::optional<Server> server_of(const MemoryKey *key) {
    if (!key)
        return std::nullopt;
    for (const auto &[held, server] : recent_servers.held)
        if (held == key)
            return server;
    auto &slot = recent_servers.held[recent_servers.next++ % 4];
    slot = {key, class_server(key)};
    return slot.second;
}

// Where a server value leads in the volume, as found or as Windows would first load it when it is
// missing; not read. Empty when the scan has no volume or the value leads nowhere in it. For a
// REG_SZ naming %VAR%, `expanded` gets the file it leads to if Windows expands it after all.
std::optional<ServerFile> located(const RuleWalk &walk, const Server &server,
                                  std::optional<ServerFile> *expanded = nullptr) {
    if (!walk.scan->volume)
        return std::nullopt;
    ServerExamination examined = examine_server(
        *walk.scan->volume, server.value.text, value_type(server.value), server.kind,
        server_process_view(server.kind, walk.which), *walk.scan->environment, false);
    if (expanded)
        *expanded = std::move(examined.if_expanded);
    if (resolved_place(examined).empty())
        return std::nullopt;
    return std::move(examined.file);
}

bool plantable(const ServerFile &file) {
    return file.location == FileLocation::UserWritable ||
           (file.location == FileLocation::UserCreatable && file.state == FileState::Missing);
}

// Whether a standard user can put code of their own where the server resolves: a place users
// write, or one where they may only create files (ProgramData) while the file is missing there;
// either way a REG_SZ with %VAR% may be read. Without a volume, the first place Windows tries,
// either kind.
bool user_writable(const RuleWalk &walk, const Server &server) {
    std::optional<ServerFile> expanded;
    std::optional<ServerFile> file = located(walk, server, &expanded);
    if (expanded && plantable(*expanded))
        return true;
    if (file)
        return plantable(*file) ||
               std::any_of(file->case_variants.begin(), file->case_variants.end(),
                           [](const ServerFile &twin) { return plantable(twin); });
    std::vector<std::string> place = first_place(server, walk.which, walk.environments);
    if (place.empty())
        return false;
    FileLocation location = classify_location(place, walk.environments.locations);
    return location == FileLocation::UserWritable || location == FileLocation::UserCreatable;
}

// Appends a finding's entry: the description line and up to two lines of the rule's own.
void add_entry(RuleWalk &walk, const ClassSides &cls, FoundClass found,
               std::vector<std::pair<const char *, std::string>> lines) {
    unsigned code_page = walk.scan->view->code_page;
    std::string key = utf16_to_code_page(code_page, utf16le_bytes_to_text(cls.merged->name));
    std::optional<RegistryString> description;
    for (const MemoryValue &value : cls.merged->values)
        if (value.name.empty() && (value.type == REG_SZ_TYPE || value.type == REG_EXPAND_SZ_TYPE)) {
            std::u16string text = utf16le_bytes_to_text(value.data);
            description = RegistryString{utf16_to_utf8(text.substr(0, text.find(u'\0'))), false};
            break;
        }
    std::u16string wide;
    std::string description_bytes;
    if (description && utf8_to_utf16(description->text, wide))
        description_bytes = utf16_to_code_page(code_page, wide);
    std::vector<std::string> values;
    for (auto &line : lines)
        values.push_back(utf8_to_utf16(line.second, wide) ? utf16_to_code_page(code_page, wide)
                                                          : line.second);
    EntryLine entry[3] = {{LABEL_DESCRIPTION, description_bytes.c_str()}};
    std::size_t count = 1;
    for (std::size_t i = 0; i < lines.size() && count < 3; i++)
        entry[count++] = {lines[i].first, values[i].c_str()};
    std::size_t start = walk.text.length;
    if (!append_entry(walk.text, key.c_str(), entry, count, true)) {
        walk.report->out_of_memory = true;
        return;
    }
    found.entry.assign(walk.text.text + start, walk.text.length - start);
    found.class_key = cls.merged;
    found.key = utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name));
    found.description = description ? description->text : std::string();
    walk.report->found.push_back(std::move(found));
}

// Whether the default string of InprocServer32 mentions scrobj.dll, read from the stored UTF-16
// without converting it: most classes' servers do not.
bool names_scrobj(const MemoryKey &key) {
    static const std::string inproc = stored(u"InprocServer32");
    const MemoryKey *sub = memory_child(names(), key, inproc);
    if (!sub)
        return false;
    static const std::u16string wanted = u"scrobj.dll";
    for (const MemoryValue &value : sub->values) {
        if (!value.name.empty())
            continue;
        std::size_t units = value.data.size() / 2;
        for (std::size_t at = 0; at + wanted.size() <= units; at++) {
            std::size_t i = 0;
            while (i < wanted.size()) {
                auto unit = static_cast<char16_t>(
                    static_cast<unsigned char>(value.data[2 * (at + i)]) |
                    static_cast<unsigned char>(value.data[2 * (at + i) + 1]) << 8);
                if (unit >= u'A' && unit <= u'Z')
                    unit = static_cast<char16_t>(unit - u'A' + u'a');
                if (unit != wanted[i])
                    break;
                i++;
            }
            if (i == wanted.size())
                return true;
        }
    }
    return false;
}

void scriptlet(RuleWalk &walk, const ClassSides &cls) {
    static const std::string scriptlet_url = stored(u"ScriptletURL");
    bool has_url = memory_child(names(), *cls.merged, scriptlet_url) != nullptr;
    if (!has_url && !names_scrobj(*cls.merged))
        return;
    std::optional<Server> server = server_of(cls.merged);
    bool scrobj = server && server->kind == ServerKind::InProcess &&
                  equal_folded(file_name_of(server->value.text), "scrobj.dll");
    if (!scrobj && !has_url)
        return;
    std::optional<RegistryString> url = subkey_default(*cls.merged, u"ScriptletURL");
    FoundClass found;
    found.server_path = server ? server->value.text : std::string();
    found.script = url ? url->text : std::string();
    found.from_user = cls.user && (subkey_default(*cls.user, u"InprocServer32").has_value() ||
                                   memory_child(names(), *cls.user, stored(u"ScriptletURL")));
    found.written =
        keys_written(shown_side(cls, found.from_user), {u"InprocServer32", u"ScriptletURL"});
    std::vector<std::pair<const char *, std::string>> lines = {
        {LABEL_INPROC_SERVER32, found.server_path}};
    if (url)
        lines.push_back({LABEL_SCRIPTLET_URL, url->text});
    add_entry(walk, cls, std::move(found), lines);
}

// The TreatAs of a class: the class COM activation sends it to. AutoTreatAs is not read there:
// it is only what CoTreatAsClass restores TreatAs to.
std::optional<RegistryString> treat_as_of(const MemoryKey &key) {
    return subkey_default(key, u"TreatAs");
}

// An AutoTreatAs naming another class where no TreatAs is set: nothing is redirected until a
// program resets the class's emulation, which copies it into TreatAs.
void auto_treat_as_alone(RuleWalk &walk, const ClassSides &cls, const std::string &self) {
    std::optional<RegistryString> target = subkey_default(*cls.merged, u"AutoTreatAs");
    if (!target || target->text.empty() || fold_case(target->text) == self)
        return;
    FoundClass found;
    found.chain = {utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name)), target->text};
    found.from_user = cls.user && subkey_default(*cls.user, u"AutoTreatAs").has_value();
    found.reasons.push_back("autotreatas alone");
    found.written = keys_written(shown_side(cls, found.from_user), {u"AutoTreatAs"});
    std::string line = found.chain.front() + " -> " + target->text + " (AutoTreatAs)";
    add_entry(walk, cls, std::move(found), {{LABEL_TREATAS, line}});
}

void treat_as(RuleWalk &walk, const ClassSides &cls) {
    std::optional<RegistryString> first = treat_as_of(*cls.merged);
    std::string self = fold_case(utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name)));
    if (!first) {
        auto_treat_as_alone(walk, cls, self);
        return;
    }
    if (fold_case(first->text) == self)
        return; // a TreatAs naming the class itself sends nothing elsewhere
    FoundClass found;
    found.chain = {utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name))};
    std::vector<std::string> seen = {self};
    const MemoryKey *at = cls.merged;
    std::string end; // why the chain ends without a class that serves
    bool from_user = false;
    while (true) {
        ClassSides here = sides_of(walk, *at);
        std::optional<RegistryString> next = treat_as_of(*at);
        if (!next || fold_case(next->text) == seen.back())
            break;
        // A link the user's own classes make, or change from the machine's.
        if (here.user) {
            std::optional<RegistryString> users = treat_as_of(*here.user);
            std::optional<RegistryString> machines =
                here.machine ? treat_as_of(*here.machine) : std::nullopt;
            if (users && (!machines || fold_case(machines->text) != fold_case(users->text)))
                from_user = true;
        }
        std::string target = fold_case(next->text);
        found.chain.push_back(next->text);
        if (std::find(seen.begin(), seen.end(), target) != seen.end()) {
            end = "treatas loop";
            break;
        }
        if (found.chain.size() > MAX_TREATAS_LINKS) {
            end = "treatas chain too long";
            break;
        }
        seen.push_back(target);
        const MemoryKey *next_key = memory_child(names(), *walk.view_clsid, [&] {
            std::u16string wide;
            return utf8_to_utf16(next->text, wide) ? stored(wide) : std::string();
        }());
        if (!next_key) {
            end = "treatas target missing";
            break;
        }
        at = next_key;
    }
    std::optional<Server> final_server = end.empty() ? server_of(at) : std::nullopt;
    std::optional<Server> own_server = server_of(cls.merged);
    bool elsewhere = final_server && !(own_server && fold_case(own_server->value.text) ==
                                                         fold_case(final_server->value.text));
    bool writable = elsewhere && user_writable(walk, *final_server);
    if (!from_user && !writable && end.empty())
        return;
    found.from_user = from_user;
    found.written = keys_written(shown_side(cls, from_user), {u"TreatAs"});
    if (from_user)
        found.reasons.push_back("treatas introduced by user");
    if (!end.empty())
        found.reasons.push_back(end);
    if (writable)
        found.reasons.push_back("treatas ends at user-writable server");
    found.server_path = final_server ? final_server->value.text : std::string();
    if (final_server)
        found.server_class = at;
    std::string chain;
    for (const std::string &link : found.chain)
        chain += (chain.empty() ? "" : " -> ") + link;
    add_entry(walk, cls, std::move(found),
              {{LABEL_TREATAS, chain + (end.empty() ? "" : " (" + end + ")")},
               {LABEL_FINAL_SERVER, final_server ? final_server->value.text : "-"}});
}

// The machine's own registration of a class, when the view's server comes from it.
const MemoryKey *machine_server_class(const ClassSides &cls) {
    if (!cls.machine || !server_of(cls.machine))
        return nullptr;
    if (cls.user && server_of(cls.user))
        return nullptr; // the user's server is the one that loads
    return cls.machine;
}

void abandoned(RuleWalk &walk, const ClassSides &cls) {
    if (!walk.scan->volume)
        return;
    const MemoryKey *machine = machine_server_class(cls);
    if (!machine)
        return;
    Server server = *server_of(machine);
    Bitness view = server_process_view(server.kind, walk.which);
    ServerExamination examined =
        examine_server(*walk.scan->volume, server.value.text, value_type(server.value), server.kind,
                       view, *walk.scan->environment, false);
    // A server on another drive or share cannot be examined from the image, and is as much in
    // someone else's hands as a missing one.
    bool elsewhere = examined.file.state == FileState::Outside && examined.file.other_volume;
    if (examined.file.state == FileState::Unreadable) {
        std::string line = examined.file.windows_path + ": " + examined.file.problem;
        std::vector<std::string> &unreadable = walk.report->unreadable;
        if (std::find(unreadable.begin(), unreadable.end(), line) == unreadable.end())
            unreadable.push_back(std::move(line));
        return;
    }
    if (examined.file.state != FileState::Missing && !elsewhere)
        return;
    FoundClass found;
    found.server_path = server.value.text;
    found.server_class = machine;
    found.written = keys_written(machine, {u"InprocServer32", u"LocalServer32"});
    found.server_file = std::move(examined);
    add_entry(walk, cls, std::move(found),
              {{server.kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32 : LABEL_LOCAL_SERVER32,
                server.value.text}});
}

void user_path(RuleWalk &walk, const ClassSides &cls) {
    const MemoryKey *machine = machine_server_class(cls);
    if (!machine)
        return;
    Server server = *server_of(machine);
    if (!user_writable(walk, server))
        return;
    FoundClass found;
    found.server_path = server.value.text;
    found.server_class = machine;
    found.written = keys_written(machine, {u"InprocServer32", u"LocalServer32"});
    add_entry(walk, cls, std::move(found),
              {{server.kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32 : LABEL_LOCAL_SERVER32,
                server.value.text}});
}

// Where a server value resolves: the place of the file found in the volume, else the first
// place Windows tries.
std::optional<FileLocation> resolved_location(const RuleWalk &walk, const Server &server) {
    if (std::optional<ServerFile> file = located(walk, server))
        return file->location;
    std::vector<std::string> place = first_place(server, walk.which, walk.environments);
    if (place.empty())
        return std::nullopt;
    return classify_location(place, walk.environments.locations);
}

// A handler is judged where it resolves: Windows' own handlers live in the system folders and
// are registered by the machine. One the user's classes give, other than the machine's, or one
// that resolves anywhere else, is listed.
void handler(RuleWalk &walk, const ClassSides &cls) {
    std::optional<RegistryString> value = subkey_default(*cls.merged, u"InprocHandler32");
    if (!value || value->text.empty())
        return;
    std::optional<RegistryString> users =
        cls.user ? subkey_default(*cls.user, u"InprocHandler32") : std::nullopt;
    std::optional<RegistryString> machines =
        cls.machine ? subkey_default(*cls.machine, u"InprocHandler32") : std::nullopt;
    bool differs = users && cls.machine != cls.user &&
                   !(machines && fold_case(machines->text) == fold_case(users->text));
    Server judged{*value, ServerKind::InProcess};
    bool in_system = resolved_location(walk, judged) == FileLocation::System;
    if (!differs && in_system)
        return;
    FoundClass found;
    found.handler = value->text;
    found.from_user = users.has_value() && cls.machine != cls.user;
    if (differs)
        found.reasons.push_back("user-side handler differs from machine");
    if (!in_system)
        found.reasons.push_back("handler outside system folders");
    found.judged = FoundClass::JudgedValue{value->text, value->expand, ServerKind::InProcess};
    found.written = keys_written(shown_side(cls, found.from_user), {u"InprocHandler32"});
    add_entry(walk, cls, std::move(found), {{LABEL_INPROC_HANDLER, value->text}});
}

// Whether `place` is `expected` in the system folder of the view (System32, or SysWOW64 for a
// 32-bit process), where Windows' own registration puts it.
bool is_expected_server(const std::vector<std::string> &place, const std::string &expected,
                        Bitness which, const Environment &environment) {
    std::vector<std::string> want =
        parse_windows_path(environment.value("SystemRoot"), volume_drive(environment)).components;
    want.push_back(which == Bitness::Bits32 ? "SysWOW64" : "System32");
    want.push_back(expected);
    if (place.size() != want.size())
        return false;
    for (std::size_t i = 0; i < place.size(); i++)
        if (!equal_folded(place[i], want[i]))
            return false;
    return true;
}

void known(RuleWalk &walk, const ClassSides &cls) {
    constexpr std::size_t GUID_BYTES = 38 * 2; // "{...}" in UTF-16
    if (cls.merged->name.size() != GUID_BYTES)
        return;
    std::string key = utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name));
    const std::vector<KnownClass> &list = known_classes();
    auto entry = std::find_if(list.begin(), list.end(),
                              [&](const KnownClass &k) { return equal_folded(k.clsid, key); });
    if (entry == list.end())
        return;
    // Windows registers some of these classes with another of its files from one version to the
    // next: each file the entry lists is Windows' own.
    std::vector<std::string> expected;
    std::istringstream files(entry->expected_file);
    for (std::string file; std::getline(files, file, ',');) {
        file.erase(0, file.find_first_not_of(' '));
        file.erase(file.find_last_not_of(' ') + 1);
        if (!file.empty())
            expected.push_back(file);
    }
    for (const MemoryKey *side : {cls.user, cls.machine}) {
        std::optional<Server> server = server_of(side);
        if (!server)
            continue;
        // Where the server was found, or where Windows would first load it from.
        std::optional<ServerFile> file = located(walk, *server);
        std::vector<std::string> place =
            file ? file->place : first_place(*server, walk.which, walk.environments);
        // A link in System32 that leads elsewhere is judged where it leads.
        bool system_file = !file || file->location == FileLocation::System;
        if (system_file &&
            std::any_of(expected.begin(), expected.end(), [&](const std::string &name) {
                return is_expected_server(place, name, walk.which, *walk.scan->environment);
            }))
            continue;
        FoundClass found;
        found.server_path = server->value.text;
        found.expected = entry->expected_file;
        found.from_user = side == cls.user;
        found.server_class = side;
        found.written = keys_written(side, {u"InprocServer32", u"LocalServer32"});
        add_entry(
            walk, cls, std::move(found),
            {{server->kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32 : LABEL_LOCAL_SERVER32,
              server->value.text},
             {LABEL_EXPECTED, entry->name + ": " + entry->expected_file}});
        return;
    }
}

// Defender's classes move with its updates from Program Files\Windows Defender to its platform
// folder, ProgramData\Microsoft\Windows Defender\Platform\<version>, the same file name.
bool defender_platform_move(const std::vector<std::string> &stock_place,
                            const std::vector<std::string> &place) {
    static const char *const from[] = {"Program Files", "Windows Defender"};
    static const char *const to[] = {"ProgramData", "Microsoft", "Windows Defender", "Platform"};
    if (stock_place.size() != 3 || place.size() != 6 ||
        !equal_folded(stock_place.back(), place.back()))
        return false;
    for (std::size_t i = 0; i < 2; i++)
        if (!equal_folded(stock_place[i], from[i]))
            return false;
    for (std::size_t i = 0; i < 4; i++)
        if (!equal_folded(place[i], to[i]))
            return false;
    return true;
}

// The machine's server of a class the stock table holds, when it differs from the stock one:
// another file (after expansion, letter case aside), another kind, or another command line.
void stock(RuleWalk &walk, const ClassSides &cls) {
    constexpr std::size_t GUID_BYTES = 38 * 2; // "{...}" in UTF-16
    if (walk.which != Bitness::Bits64 || !cls.machine || cls.merged->name.size() != GUID_BYTES)
        return;
    const StockClass *entry = stock_class(utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name)));
    if (!entry)
        return;
    std::optional<Server> server = server_of(cls.machine);
    if (!server)
        return; // a class without a server loads nothing
    Server expected{{entry->server, true}, entry->kind};
    // COM drops quotes around an in-process server's path: the table holds it without them.
    Server compared = *server;
    std::string &path = compared.value.text;
    if (compared.kind == ServerKind::InProcess && path.size() > 1 && path.front() == '"' &&
        path.back() == '"')
        path = path.substr(1, path.size() - 2);
    std::vector<std::string> now = first_place(compared, walk.which, walk.environments);
    std::vector<std::string> was = first_place(expected, walk.which, walk.environments);
    auto same_place = [](const std::vector<std::string> &a, const std::vector<std::string> &b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), equal_folded);
    };
    auto unquoted = [&](const RegistryString &value) {
        std::string text =
            value.expand ? expand_environment(value.text, walk.environments.bits64) : value.text;
        text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
        return fold_case(text);
    };
    bool in_system =
        !now.empty() && classify_location(now, walk.environments.locations) == FileLocation::System;
    if (server->kind == expected.kind && same_place(now, was) &&
        (server->kind == ServerKind::InProcess ||
         unquoted(server->value) == unquoted(expected.value)))
        return;
    if (server->kind == expected.kind && in_system && !was.empty() &&
        moved_between_windows_files(was.back(), now.back()))
        return;
    if (server->kind == expected.kind && defender_platform_move(was, now))
        return;
    FoundClass found;
    found.server_path = server->value.text;
    found.expected = entry->server;
    found.server_class = cls.machine;
    found.reasons.push_back(in_system ? "stock class re-pointed within system folder"
                                      : "stock class re-pointed outside system folder");
    add_entry(
        walk, cls, std::move(found),
        {{server->kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32 : LABEL_LOCAL_SERVER32,
          server->value.text},
         {LABEL_STOCK, entry->server}});
}

// A class only the user's classes register, served from where a standard user can write: what
// loads it, in the same evidence, says how much it matters.
void user_class(RuleWalk &walk, const ClassSides &cls) {
    if (!cls.user || cls.machine)
        return;
    std::optional<Server> server = server_of(cls.user);
    if (!server || !user_writable(walk, *server))
        return;
    FoundClass found;
    found.server_path = server->value.text;
    found.server_class = cls.user;
    found.from_user = true;
    found.loaded_by =
        loaders_of(walk.scan->loaders, utf16_to_utf8(utf16le_bytes_to_text(cls.merged->name)));
    for (const ClassLoader &loader : found.loaded_by) {
        std::string reason = user_class_reason(loader.kind);
        if (std::find(found.reasons.begin(), found.reasons.end(), reason) == found.reasons.end())
            found.reasons.push_back(reason);
    }
    if (found.reasons.empty())
        found.reasons.push_back(USER_CLASS_NOT_LOADED);
    add_entry(
        walk, cls, std::move(found),
        {{server->kind == ServerKind::InProcess ? LABEL_INPROC_SERVER32 : LABEL_LOCAL_SERVER32,
          server->value.text}});
}

} // namespace

ClassLoaderIndex index_loaders(std::vector<ClassLoader> loaders) {
    ClassLoaderIndex index;
    index.list = std::move(loaders);
    for (std::size_t i = 0; i < index.list.size(); i++)
        index.by_clsid[fold_case(index.list[i].clsid)].push_back(i);
    return index;
}

std::vector<ClassLoader> loaders_of(const ClassLoaderIndex *index, std::string_view clsid) {
    std::vector<ClassLoader> found;
    if (!index)
        return found;
    auto entry = index->by_clsid.find(fold_case(clsid));
    if (entry != index->by_clsid.end())
        for (std::size_t i : entry->second)
            found.push_back(index->list[i]);
    return found;
}

std::optional<ClassServer> class_server(const MemoryKey *key) {
    if (!key)
        return std::nullopt;
    if (auto inproc = subkey_default(*key, u"InprocServer32")) {
        if (equal_folded(file_name_of(inproc->text), "mscoree.dll") ||
            equal_folded(file_name_of(inproc->text), "mscoree"))
            if (auto code_base = subkey_string(*key, u"InprocServer32", u"CodeBase");
                code_base && !code_base->text.empty())
                return ClassServer{{code_base_path(code_base->text), code_base->expand},
                                   ServerKind::InProcess};
        return ClassServer{*inproc, ServerKind::InProcess};
    }
    if (auto local = subkey_default(*key, u"LocalServer32")) {
        if (auto program = subkey_string(*key, u"LocalServer32", u"ServerExecutable")) {
            std::string path = program->text;
            path.erase(std::remove(path.begin(), path.end(), '"'), path.end());
            if (!path.empty())
                return ClassServer{{'"' + path + '"', program->expand}, ServerKind::CommandLine};
        }
        return ClassServer{*local, ServerKind::CommandLine};
    }
    return std::nullopt;
}

bool served_from_code_base(const MemoryKey *key) {
    std::optional<RegistryString> inproc =
        key ? subkey_default(*key, u"InprocServer32") : std::nullopt;
    std::optional<ClassServer> server = class_server(key);
    return inproc && server && server->kind == ServerKind::InProcess &&
           server->value.text != inproc->text;
}

std::optional<ClassServer> judged_server(const FoundClass &found) {
    if (found.judged)
        return ClassServer{{found.judged->text, found.judged->expand}, found.judged->kind};
    return class_server(found.server_class ? found.server_class : found.class_key);
}

std::vector<std::string> judged_values(const FoundClass &found) {
    const MemoryKey *key = found.server_class ? found.server_class : found.class_key;
    std::vector<std::string> values;
    if (!key)
        return values;
    auto add = [&](const char *label, std::optional<RegistryString> value) {
        if (value && !value->text.empty())
            values.push_back(std::string(label) + "=" + value->text);
    };
    add("InprocHandler32", subkey_default(*key, u"InprocHandler32"));
    add("ScriptletURL", subkey_default(*key, u"ScriptletURL"));
    add("TreatAs", subkey_default(*key, u"TreatAs"));
    add("AutoTreatAs", subkey_default(*key, u"AutoTreatAs"));
    std::optional<RegistryString> code_base = subkey_string(*key, u"InprocServer32", u"CodeBase");
    std::optional<RegistryString> program =
        subkey_string(*key, u"LocalServer32", u"ServerExecutable");
    // The default the named value stands in for is judged too.
    if (code_base && !code_base->text.empty())
        add("InprocServer32", subkey_default(*key, u"InprocServer32"));
    if (program && !program->text.empty())
        add("LocalServer32", subkey_default(*key, u"LocalServer32"));
    add("CodeBase", code_base);
    add("ServerExecutable", program);
    add("Assembly", subkey_string(*key, u"InprocServer32", u"Assembly"));
    add("Class", subkey_string(*key, u"InprocServer32", u"Class"));
    if (found.judged) // the handler or value judged in place of the server
        values.push_back("judged=" + found.judged->text);
    return values;
}

void add_clr_facts(FoundClass &found) {
    const MemoryKey *key = found.server_class ? found.server_class : found.class_key;
    if (!key)
        return;
    if (auto assembly = subkey_string(*key, u"InprocServer32", u"Assembly"))
        found.assembly = assembly->text;
    if (auto clr_class = subkey_string(*key, u"InprocServer32", u"Class"))
        found.clr_class = clr_class->text;
}

ViewEnvironments view_environments(const Environment &environment) {
    return {environment_for_view(environment, Bitness::Bits64),
            environment_for_view(environment, Bitness::Bits32), file_locations(environment)};
}

ValueType value_type(const RegistryString &value) {
    return value.expand ? ValueType::ExpandString : ValueType::String;
}

Bitness server_process_view(ServerKind kind, Bitness which) {
    return kind == ServerKind::InProcess && which == Bitness::Bits32 ? Bitness::Bits32
                                                                     : Bitness::Bits64;
}

std::vector<std::string> first_place(const ClassServer &server, Bitness which,
                                     const ViewEnvironments &environments) {
    Bitness view = server_process_view(server.kind, which);
    const Environment &seen = view == Bitness::Bits32 ? environments.bits32 : environments.bits64;
    std::vector<ServerCandidate> candidates =
        server_candidates(server.value.text, value_type(server.value), server.kind, view, seen);
    if (candidates.empty() || candidates.front().places.empty())
        return {};
    return candidates.front().places.front();
}

std::optional<RegistryString> subkey_default(const MemoryKey &key, std::u16string_view subkey) {
    return subkey_string(key, subkey, u"");
}

std::optional<RegistryString> subkey_string(const MemoryKey &key, std::u16string_view subkey,
                                            std::u16string_view name) {
    // The rules ask for a handful of subkey names, once a class each: their stored forms are
    // made once.
    thread_local std::vector<std::pair<std::u16string, std::string>> stored_names;
    auto known = std::find_if(stored_names.begin(), stored_names.end(),
                              [&](const auto &name) { return name.first == subkey; });
    if (known == stored_names.end())
        known = stored_names.insert(stored_names.end(), {std::u16string(subkey), stored(subkey)});
    const MemoryKey *sub = memory_child(names(), key, known->second);
    if (!sub)
        return std::nullopt;
    std::string value_name = name.empty() ? std::string() : stored(name);
    for (const MemoryValue &value : sub->values)
        if ((name.empty() ? value.name.empty()
                          : memory_compare_names(names(), value.name, value_name) == 0) &&
            (value.type == REG_SZ_TYPE || value.type == REG_EXPAND_SZ_TYPE)) {
            std::u16string text = utf16le_bytes_to_text(value.data);
            return RegistryString{utf16_to_utf8(text.substr(0, text.find(u'\0'))),
                                  value.type == REG_EXPAND_SZ_TYPE};
        }
    return std::nullopt;
}

std::vector<RuleReport> scan_hijacks(const HijackScan &scan, Bitness which,
                                     const std::vector<ScanRule> &rules) {
    std::vector<RuleReport> reports(rules.size());
    std::vector<RuleWalk> walks(rules.size());
    ViewEnvironments environments = view_environments(*scan.environment);
    const MemoryKey *view_clsid = classes_clsid(*scan.view, which);
    bool ready = view_clsid != nullptr && !rules.empty();
    for (std::size_t i = 0; i < rules.size(); i++) {
        RuleWalk &walk = walks[i];
        reports[i].view = which;
        reports[i].rule = rules[i];
        walk.scan = &scan;
        walk.which = which;
        walk.rule = rules[i];
        walk.report = &reports[i];
        walk.environments = environments;
        walk.view_clsid = view_clsid;
        if (scan.sides->has_machine)
            walk.machine_clsid = classes_clsid(scan.sides->machine, which);
        if (scan.sides->has_user)
            walk.user_clsid = classes_clsid(scan.sides->user, which);
        if (ready && !report_create(walk.text)) {
            reports[i].out_of_memory = true;
            ready = false;
        }
    }
    // One pass over the classes for every rule: each class's keys are looked up once.
    for (std::size_t c = 0; ready && c < view_clsid->children.size(); c++) {
        ClassSides cls = sides_of(walks.front(), *view_clsid->children[c]);
        forget_servers();
        for (RuleWalk &walk : walks) {
            switch (walk.rule) {
            case ScanRule::Scriptlet:
                scriptlet(walk, cls);
                break;
            case ScanRule::TreatAs:
                treat_as(walk, cls);
                break;
            case ScanRule::Abandoned:
                abandoned(walk, cls);
                break;
            case ScanRule::UserPath:
                user_path(walk, cls);
                break;
            case ScanRule::Handler:
                handler(walk, cls);
                break;
            case ScanRule::Known:
                known(walk, cls);
                break;
            case ScanRule::Stock:
                stock(walk, cls);
                break;
            case ScanRule::UserClass:
                user_class(walk, cls);
                break;
            default:
                break;
            }
            ready = ready && !walk.report->out_of_memory;
        }
    }
    forget_servers();
    for (RuleWalk &walk : walks)
        if (walk.text.text) {
            walk.report->text.assign(walk.text.text, walk.text.length);
            report_release(walk.text);
        }
    return reports;
}

const std::vector<KnownClass> &known_classes() {
    static const std::vector<KnownClass> list = [] {
        std::vector<KnownClass> parsed;
        std::istringstream lines(KNOWN_CLASSES_TSV);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == '#')
                continue;
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');)
                fields.push_back(field);
            if (fields.size() == 4)
                parsed.push_back(KnownClass{fields[0], fields[1], fields[2], fields[3]});
        }
        return parsed;
    }();
    return list;
}

const StockClass *stock_class(std::string_view clsid) {
    static const std::unordered_map<std::string, StockClass> table = [] {
        std::unordered_map<std::string, StockClass> parsed;
        std::istringstream lines(STOCK_CLASSES_TSV);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == '#')
                continue;
            std::size_t kind_at = line.find('\t');
            std::size_t server_at =
                kind_at == std::string::npos ? kind_at : line.find('\t', kind_at + 1);
            if (server_at == std::string::npos)
                continue;
            std::string kind = line.substr(kind_at + 1, server_at - kind_at - 1);
            parsed[fold_case(line.substr(0, kind_at))] =
                StockClass{kind == "local" ? ServerKind::CommandLine : ServerKind::InProcess,
                           line.substr(server_at + 1)};
        }
        return parsed;
    }();
    auto entry = table.find(fold_case(clsid));
    return entry == table.end() ? nullptr : &entry->second;
}

bool moved_between_windows_files(std::string_view stock_file, std::string_view file) {
    // Pairs seen across Windows 7, 8.1, 10 and 11 for the same classes: the shell's storage and
    // property code left shell32.dll, COM's runtime left ole32.dll, and the .dll suffix may be
    // written or not.
    static const char *const moves[][2] = {
        {"shell32.dll", "windows.storage.dll"},
        {"shell32.dll", "windows.storage.search.dll"},
        {"shell32.dll", "propsys.dll"},
        {"ole32.dll", "combase.dll"},
        {"ole32.dll", "coml2.dll"},
        {"shell32.dll", "ExplorerFrame.dll"},
        {"shdocvw.dll", "ieframe.dll"},
        {"shell32.dll", "shdocvw.dll"},
    };
    auto bare = [](std::string_view name) {
        std::string folded = fold_case(name);
        return folded.size() > 4 && folded.compare(folded.size() - 4, 4, ".dll") == 0
                   ? folded
                   : folded + ".dll";
    };
    std::string a = bare(stock_file), b = bare(file);
    for (const auto &move : moves) {
        std::string from = bare(move[0]), to = bare(move[1]);
        if ((a == from && b == to) || (a == to && b == from))
            return true;
    }
    return false;
}
