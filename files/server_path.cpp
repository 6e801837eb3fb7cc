// From a server's registry value to the path Windows opens, with no file system.
#include "files/server_path.h"

#include "files/name_case.h"
#include "registry/ascii_text.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// True when `path` begins with the components of `prefix`, letter case aside.
bool has_prefix(const std::vector<std::string> &path, const std::vector<std::string> &prefix) {
    if (prefix.size() > path.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); i++)
        if (!equal_folded(path[i], prefix[i]))
            return false;
    return true;
}

std::vector<std::string> split_components(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string_view::npos)
            end = text.size();
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A name that no file on NTFS can have (a colon is left for the caller: it names a stream).
bool impossible_name(std::string_view name) {
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' ||
            c == '?' || c == '*')
            return true;
    return false;
}

// The components of an absolute path in the volume's root, or nullopt when `text` is not one.
std::optional<std::vector<std::string>> volume_path(std::string_view text, char drive) {
    WindowsPath parsed = parse_windows_path(text, drive);
    if (parsed.kind != PathKind::Absolute)
        return std::nullopt;
    return parsed.components;
}

std::vector<std::string> system_root_of(const Environment &environment, char drive) {
    std::optional<std::vector<std::string>> root =
        volume_path(environment.value("SystemRoot"), drive);
    return root && !root->empty() ? *root : std::vector<std::string>{"Windows"};
}

std::vector<std::string> joined(std::vector<std::string> base,
                                const std::vector<std::string> &more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

// The parts that name a variable in `text`, as expand_environment would look them up.
std::vector<std::string> referenced_names(std::string_view text) {
    std::vector<std::string> names;
    for (std::size_t open = text.find('%'); open != std::string_view::npos;) {
        std::size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos)
            break;
        if (close > open + 1)
            names.push_back(fold_case(text.substr(open + 1, close - open - 1)));
        open = close;
    }
    return names;
}

// Appends `text` to `out` while `out` stays within kMaxExpandedLength UTF-16 units (`units`
// counts them), never splitting a character; false when something was left out.
bool append_capped(std::string &out, std::size_t &units, std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead < 0xc0 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        length = std::min(length, text.size() - at);
        std::size_t needed = lead >= 0xf0 ? 2 : 1;
        if (units + needed > kMaxExpandedLength)
            return false;
        out.append(text.substr(at, length));
        units += needed;
        at += length;
    }
    return true;
}

// `text` cut to kMaxExpandedLength UTF-16 units; `cut` says whether it was.
std::string cut_to_limit(std::string_view text, bool &cut) {
    std::string kept;
    std::size_t units = 0;
    cut = !append_capped(kept, units, text);
    return kept;
}

} // namespace

char volume_drive(const Environment &environment) {
    std::string system_drive = environment.value("SystemDrive");
    return system_drive.size() >= 2 && is_drive_letter(system_drive[0]) && system_drive[1] == ':'
               ? ascii_upper(system_drive[0])
               : 'C';
}

Environment::Environment() : variables_(std::make_shared<std::map<std::string, Variable>>()) {}

const std::string *Environment::find(std::string_view name) const {
    auto found = variables_->find(fold_case(name));
    return found == variables_->end() ? nullptr : &found->second.value;
}

std::string Environment::value(std::string_view name) const {
    const std::string *found = find(name);
    return found != nullptr ? *found : std::string();
}

bool Environment::cut(std::string_view name) const {
    auto found = variables_->find(fold_case(name));
    return found != variables_->end() && found->second.cut;
}

void Environment::set(std::string_view name, std::string value, bool cut) {
    if (variables_.use_count() > 1)
        variables_ = std::make_shared<std::map<std::string, Variable>>(*variables_);
    std::string folded = fold_case(name);
    auto [entry, added] = variables_->try_emplace(folded, Variable{std::string(name), {}, false});
    (void)added;
    entry->second.value = std::move(value);
    entry->second.cut = cut;
    bits32_.reset();
    if (folded == "path" || folded == "systemdrive" || folded == "systemroot")
        search_path_.reset();
}

const Environment::SearchPath &Environment::parsed_search_path() const {
    if (search_path_)
        return *search_path_;
    auto parsed = std::make_shared<SearchPath>();
    char drive = volume_drive(*this);
    std::set<std::string> seen;
    const std::string *search = find("Path");
    std::string_view text = search != nullptr ? std::string_view(*search) : std::string_view();
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = std::min(text.find(';', start), text.size());
        std::optional<std::vector<std::string>> folder =
            volume_path(text.substr(start, end - start), drive);
        start = end + 1;
        if (!folder || !seen.insert(fold_case(windows_path_text(*folder))).second)
            continue;
        if (parsed->folders.size() == kMaxPathFolders) {
            parsed->cut = true;
            break;
        }
        parsed->folders.push_back(std::move(*folder));
    }
    search_path_ = parsed;
    return *parsed;
}

const std::vector<std::vector<std::string>> &Environment::search_path() const {
    return parsed_search_path().folders;
}

bool Environment::search_path_cut() const {
    return parsed_search_path().cut;
}

Environment machine_environment(std::string_view system_root) {
    Environment environment;
    std::string root(system_root);
    std::string drive = root.size() >= 2 && root[1] == ':' ? root.substr(0, 2) : "C:";
    environment.set("SystemDrive", drive);
    environment.set("SystemRoot", root);
    environment.set("windir", root);
    environment.set("ProgramFiles", drive + "\\Program Files");
    environment.set("ProgramFiles(x86)", drive + "\\Program Files (x86)");
    environment.set("ProgramW6432", drive + "\\Program Files");
    environment.set("CommonProgramFiles", drive + "\\Program Files\\Common Files");
    environment.set("CommonProgramFiles(x86)", drive + "\\Program Files (x86)\\Common Files");
    environment.set("CommonProgramW6432", drive + "\\Program Files\\Common Files");
    environment.set("ProgramData", drive + "\\ProgramData");
    environment.set("ALLUSERSPROFILE", drive + "\\ProgramData");
    environment.set("PUBLIC", drive + "\\Users\\Public");
    environment.set("ComSpec", root + "\\system32\\cmd.exe");
    environment.set("Path", root + "\\system32;" + root + ";" + root + "\\System32\\Wbem;" + root +
                                "\\System32\\WindowsPowerShell\\v1.0\\");
    environment.set("TEMP", root + "\\TEMP");
    environment.set("TMP", root + "\\TEMP");
    environment.set("OS", "Windows_NT");
    return environment;
}

void add_user_environment(Environment &environment, std::string_view user_name,
                          std::string_view profile) {
    std::string home(profile);
    if (home.empty()) {
        // The profiles folder is the one that holds PUBLIC (C:\Users, or as the hive moved it).
        std::string profiles = environment.value("PUBLIC");
        std::size_t last = profiles.find_last_of('\\');
        profiles = last != std::string::npos ? profiles.substr(0, last)
                                             : environment.value("SystemDrive") + "\\Users";
        home = profiles + "\\" + std::string(user_name);
    }
    environment.set("USERNAME", std::string(user_name));
    environment.set("USERPROFILE", home);
    bool has_drive = home.size() >= 2 && home[1] == ':';
    environment.set("HOMEDRIVE", has_drive ? home.substr(0, 2) : environment.value("SystemDrive"));
    environment.set("HOMEPATH", has_drive ? home.substr(2) : home);
    environment.set("APPDATA", home + "\\AppData\\Roaming");
    environment.set("LOCALAPPDATA", home + "\\AppData\\Local");
    environment.set("TEMP", home + "\\AppData\\Local\\Temp");
    environment.set("TMP", home + "\\AppData\\Local\\Temp");
}

std::vector<std::string> set_variables(Environment &environment,
                                       const std::vector<EnvironmentValue> &values) {
    std::vector<std::string> cut_names;
    // The last value of each name, in list order.
    std::map<std::string, std::size_t> last_of_name;
    for (std::size_t i = 0; i < values.size(); i++)
        last_of_name[fold_case(values[i].name)] = i;
    std::vector<std::size_t> pending; // indices into `values`, in list order
    for (std::size_t i = 0; i < values.size(); i++) {
        const EnvironmentValue &value = values[i];
        if (last_of_name[fold_case(value.name)] != i)
            continue;
        if (value.expand && value.value.find('%') != std::string::npos) {
            pending.push_back(i);
        } else {
            bool cut = false;
            std::string text = cut_to_limit(value.value, cut);
            if (cut)
                cut_names.push_back(value.name);
            environment.set(value.name, std::move(text), cut);
        }
    }
    // Each pending value waits for the other pending values it names. The ready value first in
    // list order is set first; when none is ready (a cycle), the waiting one first in list order.
    // Every value is set once and every name it holds counted once: linear, but for the heap.
    std::map<std::string, std::size_t> pending_of_name;
    for (std::size_t p = 0; p < pending.size(); p++)
        pending_of_name[fold_case(values[pending[p]].name)] = p;
    std::vector<std::size_t> waiting(pending.size(), 0);
    std::vector<std::vector<std::size_t>> waited_by(pending.size());
    for (std::size_t p = 0; p < pending.size(); p++) {
        std::set<std::size_t> named;
        for (const std::string &name : referenced_names(values[pending[p]].value)) {
            auto other = pending_of_name.find(name);
            if (other != pending_of_name.end() && other->second != p &&
                named.insert(other->second).second) {
                waited_by[other->second].push_back(p);
                waiting[p]++;
            }
        }
    }
    std::set<std::size_t> ready;
    for (std::size_t p = 0; p < pending.size(); p++)
        if (waiting[p] == 0)
            ready.insert(p);
    std::vector<bool> done(pending.size(), false);
    std::size_t first_undone = 0;
    for (std::size_t count = 0; count < pending.size(); count++) {
        std::size_t p;
        if (!ready.empty()) {
            p = *ready.begin();
            ready.erase(ready.begin());
        } else {
            while (done[first_undone])
                first_undone++;
            p = first_undone;
        }
        done[p] = true;
        const EnvironmentValue &value = values[pending[p]];
        bool cut = false;
        std::string expanded = expand_environment(value.value, environment, &cut);
        environment.set(value.name, std::move(expanded), cut);
        if (cut)
            cut_names.push_back(value.name);
        for (std::size_t later : waited_by[p])
            if (!done[later] && --waiting[later] == 0)
                ready.insert(later);
    }
    return cut_names;
}

std::vector<std::string> set_user_variables(Environment &environment,
                                            const std::vector<EnvironmentValue> &values) {
    std::string machine_path = environment.value("Path");
    bool machine_path_cut = environment.cut("Path");
    std::vector<std::string> cut_names = set_variables(environment, values);
    bool user_path = std::any_of(values.begin(), values.end(), [](const EnvironmentValue &value) {
        return equal_folded(value.name, "Path");
    });
    if (user_path) {
        std::string joined_path = machine_path;
        if (!joined_path.empty() && joined_path.back() != ';')
            joined_path += ';';
        joined_path += environment.value("Path");
        bool cut = false;
        std::string capped = cut_to_limit(joined_path, cut);
        environment.set("Path", std::move(capped),
                        cut || machine_path_cut || environment.cut("Path"));
        if (cut)
            cut_names.push_back("Path");
    }
    return cut_names;
}

const std::vector<std::pair<const char *, const char *>> &program_folder_values() {
    static const std::vector<std::pair<const char *, const char *>> values = {
        {"ProgramFilesDir", "ProgramFiles"},
        {"ProgramFilesDir (x86)", "ProgramFiles(x86)"},
        {"ProgramW6432Dir", "ProgramW6432"},
        {"CommonFilesDir", "CommonProgramFiles"},
        {"CommonFilesDir (x86)", "CommonProgramFiles(x86)"},
        {"CommonW6432Dir", "CommonProgramW6432"},
    };
    return values;
}

Environment environment_for_view(const Environment &environment, Bitness view) {
    if (view != Bitness::Bits32)
        return environment;
    if (!environment.bits32_) {
        auto seen = std::make_shared<Environment>(environment);
        if (const std::string *x86 = environment.find("ProgramFiles(x86)"))
            seen->set("ProgramFiles", *x86, environment.cut("ProgramFiles(x86)"));
        if (const std::string *x86 = environment.find("CommonProgramFiles(x86)"))
            seen->set("CommonProgramFiles", *x86, environment.cut("CommonProgramFiles(x86)"));
        environment.bits32_ = seen;
    }
    return *environment.bits32_;
}

std::size_t utf16_length(std::string_view text) {
    std::size_t units = 0;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xc0) != 0x80)
            units += byte >= 0xf0 ? 2 : 1;
    }
    return units;
}

std::string expand_environment(std::string_view text, const Environment &environment, bool *cut) {
    std::string expanded;
    std::size_t units = 0;
    bool took_cut = false;
    std::size_t at = 0;
    auto finish = [&](bool complete) {
        if (cut != nullptr)
            *cut = !complete || took_cut;
        return std::move(expanded);
    };
    while (at < text.size()) {
        std::size_t open = text.find('%', at);
        if (!append_capped(expanded, units,
                           text.substr(at, open == std::string_view::npos ? std::string_view::npos
                                                                          : open - at)))
            return finish(false);
        if (open == std::string_view::npos)
            break;
        at = open;
        std::size_t close = text.find('%', at + 1);
        if (close != std::string_view::npos && close > at + 1) {
            std::string_view name = text.substr(at + 1, close - at - 1);
            if (const std::string *value = environment.find(name)) {
                took_cut = took_cut || environment.cut(name);
                if (!append_capped(expanded, units, *value))
                    return finish(false);
                at = close + 1;
                continue;
            }
        }
        if (!append_capped(expanded, units, "%"))
            return finish(false);
        at++;
    }
    return finish(true);
}

std::string first_expandable_name(std::string_view text, const Environment &environment) {
    for (std::size_t open = text.find('%'); open != std::string_view::npos;) {
        std::size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos)
            break;
        std::string_view name = text.substr(open + 1, close - open - 1);
        if (!name.empty() && environment.find(name) != nullptr)
            return std::string(name);
        open = close;
    }
    return "";
}

namespace {

// `path` with `extension` added when its file name has no dot; true when it was added.
bool add_extension(std::string &path, const char *extension) {
    std::size_t name = path.find_last_of("\\/");
    if (path.find('.', name == std::string::npos ? 0 : name + 1) != std::string::npos)
        return false;
    path += extension;
    return true;
}

} // namespace

std::vector<CommandLinePart> split_command_line(std::string_view command_line, bool *cut) {
    std::vector<CommandLinePart> parts;
    if (cut != nullptr)
        *cut = false;
    // Whether a name has a dot is known from the last separator and the last dot seen so far, so
    // each candidate costs the blanks scanned to reach it, not its length.
    std::size_t last_separator = std::string_view::npos, last_dot = std::string_view::npos;
    std::size_t scanned = 0;
    auto add = [&](std::string_view program) {
        for (; scanned < program.size(); scanned++) {
            if (program[scanned] == '\\' || program[scanned] == '/')
                last_separator = scanned;
            else if (program[scanned] == '.')
                last_dot = scanned;
        }
        bool has_dot = last_dot != std::string_view::npos &&
                       (last_separator == std::string_view::npos || last_dot > last_separator);
        parts.push_back({program, !has_dot});
    };
    std::size_t start = command_line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return parts;
    command_line.remove_prefix(start);
    if (command_line[0] == '"') {
        std::string_view quoted = command_line.substr(1, command_line.find('"', 1) - 1);
        if (!quoted.empty())
            add(quoted);
        return parts;
    }
    // A second blank in a row gives a candidate that ends in a blank, as Windows tries it too.
    for (std::size_t at = 0;; at++) {
        if (parts.size() == kMaxCommandLineCandidates) {
            if (cut != nullptr)
                *cut = true;
            return parts;
        }
        at = command_line.find_first_of(" \t", at);
        add(command_line.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
    }
}

std::vector<std::string> command_line_candidates(std::string_view command_line, bool *cut) {
    std::vector<std::string> candidates;
    for (const CommandLinePart &part : split_command_line(command_line, cut))
        candidates.push_back(std::string(part.program) + (part.add_exe ? ".exe" : ""));
    return candidates;
}

WindowsPath parse_windows_path(std::string_view text, char drive) {
    WindowsPath path;
    drive = ascii_upper(drive);
    bool raw = false;
    bool rooted = false;
    bool drive_relative = false;
    std::string_view rest = text;
    auto drive_prefix = [&](std::string_view tail) {
        return tail.size() >= 2 && is_drive_letter(tail[0]) && tail[1] == ':';
    };
    if (rest.size() >= 4 && (rest.substr(0, 4) == "\\\\?\\" || rest.substr(0, 4) == "\\??\\")) {
        // Device paths handed to the object manager as written: a drive, or something not here.
        rest.remove_prefix(4);
        raw = true;
        if (!drive_prefix(rest) || (rest.size() > 2 && rest[2] != '\\')) {
            path.kind = PathKind::Network;
            return path;
        }
    } else if (rest.size() >= 4 && is_separator(rest[0]) && is_separator(rest[1]) &&
               rest[2] == '.' && is_separator(rest[3])) {
        rest.remove_prefix(4);
        if (!drive_prefix(rest)) {
            path.kind = PathKind::Network;
            return path;
        }
    } else if (rest.size() >= 2 && is_separator(rest[0]) && is_separator(rest[1])) {
        path.kind = PathKind::Network;
        return path;
    }
    if (drive_prefix(rest)) {
        if (ascii_upper(rest[0]) != drive) {
            path.kind = PathKind::OtherDrive;
            return path;
        }
        rest.remove_prefix(2);
        rooted = !rest.empty() && (rest[0] == '\\' || (!raw && rest[0] == '/'));
        if (!rooted && raw) {
            path.kind = PathKind::Absolute; // "\\?\C:" names the volume itself
            return path;
        }
        drive_relative = !rooted; // "C:name": from the current folder of that drive
    } else if (!rest.empty() && (rest[0] == '\\' || (!raw && rest[0] == '/'))) {
        rooted = true;
    }
    std::string normalised(rest);
    if (!raw)
        std::replace(normalised.begin(), normalised.end(), '/', '\\');
    std::vector<std::string> parts = split_components(normalised);
    bool had_folder = rooted || drive_relative || parts.size() > 1;
    std::vector<std::string> components;
    for (std::string &part : parts) {
        if (part.empty())
            continue;
        if (raw) {
            if (part == "." || part == ".." || part.find('/') != std::string::npos) {
                path.kind = PathKind::Invalid;
                return path;
            }
        } else if (part == ".") {
            continue;
        } else if (part == "..") {
            // A relative path keeps the ".." that climb above its start: they depend on the
            // folder it is taken from.
            if (!components.empty() && components.back() != "..")
                components.pop_back();
            else if (!rooted)
                components.push_back("..");
            continue;
        } else {
            // Windows drops the trailing dots and spaces of every name ("C:\Users.\x.dll").
            std::size_t keep = part.find_last_not_of(". ");
            part.erase(keep == std::string::npos ? 0 : keep + 1);
            if (part.empty())
                continue;
        }
        components.push_back(std::move(part));
    }
    for (const std::string &component : components)
        if (impossible_name(component)) {
            path.kind = PathKind::Invalid;
            return path;
        }
    if (rooted)
        path.kind = PathKind::Absolute;
    else if (components.empty())
        path.kind = text.empty() ? PathKind::Invalid : PathKind::Relative;
    else
        path.kind = had_folder ? PathKind::Relative : PathKind::BareName;
    path.components = std::move(components);
    return path;
}

namespace {

// A name's base and extension as 8.3 generation sees them.
void short_parts(std::string_view name, std::string &base, std::string &extension) {
    std::size_t start = name.find_first_not_of('.');
    name.remove_prefix(start == std::string_view::npos ? name.size() : start);
    std::size_t dot = name.rfind('.');
    auto clean = [](std::string_view part) {
        std::string out;
        for (char c : part) {
            if (c == ' ' || c == '.')
                continue;
            auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x80) {
                if ((byte & 0xc0) != 0x80)
                    out += '_'; // one "_" for each character outside ASCII
                continue;
            }
            out +=
                std::string_view("+,;=[]").find(c) != std::string_view::npos ? '_' : ascii_upper(c);
        }
        return out;
    };
    base = clean(name.substr(0, dot));
    extension = dot == std::string_view::npos ? "" : clean(name.substr(dot + 1));
}

bool valid_short_name(std::string_view name) {
    std::size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3 ||
        extension.find('.') != std::string_view::npos)
        return false;
    for (char c : name)
        if (c == ' ' || static_cast<unsigned char>(c) >= 0x80 ||
            std::string_view("+,;=[]").find(c) != std::string_view::npos)
            return false;
    return true;
}

} // namespace

bool is_generated_short_name(std::string_view name) {
    if (!valid_short_name(name))
        return false;
    std::string_view base = name.substr(0, name.find('.'));
    std::size_t tilde = base.rfind('~');
    return tilde != std::string_view::npos && tilde > 0 && tilde + 1 < base.size() &&
           base.find_first_not_of("0123456789", tilde + 1) == std::string_view::npos &&
           base[tilde + 1] != '0';
}

bool shortens_to(std::string_view long_name, std::string_view short_name) {
    if (!is_generated_short_name(short_name) || valid_short_name(long_name))
        return false;
    std::string short_base, short_extension, base, extension;
    short_parts(short_name, short_base, short_extension);
    short_base.erase(short_base.rfind('~'));
    short_parts(long_name, base, extension);
    return base.size() >= short_base.size() &&
           base.compare(0, short_base.size(), short_base) == 0 &&
           extension.substr(0, 3) == short_extension;
}

std::string windows_path_text(const std::vector<std::string> &components, char drive) {
    std::string text = std::string(1, ascii_upper(drive)) + ":";
    for (const std::string &component : components)
        text += "\\" + component;
    return components.empty() ? text + "\\" : text;
}

std::vector<std::vector<std::string>>
server_search_paths(const WindowsPath &path, const Environment &environment, Bitness view) {
    char drive = volume_drive(environment);
    std::vector<std::string> system_root = system_root_of(environment, drive);
    std::vector<std::string> system32 = joined(system_root, {"System32"});
    std::vector<std::vector<std::string>> places;
    switch (path.kind) {
    case PathKind::Absolute:
        places.push_back(path.components);
        break;
    case PathKind::Relative: {
        std::vector<std::string> place;
        for (const std::string &component : joined(system32, path.components)) {
            if (component != "..")
                place.push_back(component);
            else if (!place.empty())
                place.pop_back();
        }
        places.push_back(std::move(place));
        break;
    }
    case PathKind::BareName: {
        std::set<std::string> seen;
        auto add = [&](const std::vector<std::string> &folder) {
            std::vector<std::string> place = joined(folder, path.components);
            if (seen.insert(fold_case(windows_path_text(place))).second)
                places.push_back(std::move(place));
        };
        for (const std::vector<std::string> &folder :
             {system32, joined(system_root, {"System"}), system_root})
            add(folder);
        for (const std::vector<std::string> &folder : environment.search_path())
            add(folder);
        break;
    }
    default:
        return places;
    }
    for (std::vector<std::string> &place : places)
        place = redirect_for_view(std::move(place), system_root, view);
    return places;
}

std::vector<std::string> redirect_for_view(std::vector<std::string> components,
                                           const std::vector<std::string> &system_root,
                                           Bitness view) {
    if (view != Bitness::Bits32 || !has_prefix(components, system_root))
        return components;
    std::size_t at = system_root.size();
    if (components.size() == at + 1 && equal_folded(components[at], "regedit.exe")) {
        components.insert(components.begin() + static_cast<std::ptrdiff_t>(at), "SysWOW64");
        return components;
    }
    if (components.size() > at && equal_folded(components[at], "Sysnative")) {
        components[at] = "System32";
        return components;
    }
    if (components.size() > at + 1 && equal_folded(components[at], "lastgood"))
        at++;
    if (components.size() <= at || !equal_folded(components[at], "System32"))
        return components;
    static const std::vector<std::vector<std::string>> exempt = {
        {"catroot"}, {"catroot2"}, {"driverstore"}, {"drivers", "etc"}, {"logfiles"}, {"spool"}};
    std::vector<std::string> below(components.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                                   components.end());
    for (const std::vector<std::string> &folder : exempt)
        if (has_prefix(below, folder))
            return components;
    components[at] = "SysWOW64";
    return components;
}

std::vector<ServerCandidate> server_candidates(std::string_view value, ValueType type,
                                               ServerKind kind, Bitness view,
                                               const Environment &environment,
                                               ServerValueNotes *notes) {
    ServerValueNotes noted;
    std::string expanded = type == ValueType::ExpandString
                               ? expand_environment(value, environment, &noted.expansion_cut)
                               : std::string(value);
    std::vector<ServerCandidate> candidates;
    if (kind == ServerKind::CommandLine) {
        for (const CommandLinePart &part : split_command_line(expanded, &noted.candidates_cut)) {
            ServerCandidate candidate;
            candidate.text = std::string(part.program) + (part.add_exe ? ".exe" : "");
            candidate.extension_added = part.add_exe;
            candidates.push_back(std::move(candidate));
        }
    } else {
        std::string_view library = expanded;
        std::size_t start = library.find_first_not_of(" \t");
        library.remove_prefix(start == std::string_view::npos ? library.size() : start);
        if (!library.empty() && library[0] == '"')
            library = library.substr(1, library.find('"', 1) - 1);
        if (library.find_first_not_of(" \t") != std::string_view::npos) {
            ServerCandidate candidate;
            candidate.text = std::string(library);
            candidate.extension_added = add_extension(candidate.text, ".dll");
            candidates.push_back(std::move(candidate));
        }
    }
    char drive = volume_drive(environment);
    for (ServerCandidate &candidate : candidates) {
        candidate.path = parse_windows_path(candidate.text, drive);
        candidate.places = server_search_paths(candidate.path, environment, view);
    }
    if (notes != nullptr)
        *notes = noted;
    return candidates;
}

const char *location_name(FileLocation location) {
    switch (location) {
    case FileLocation::UserWritable:
        return "user";
    case FileLocation::System:
        return "system";
    case FileLocation::ProgramFiles:
        return "program-files";
    case FileLocation::UserCreatable:
        return "user-create";
    default:
        return "other";
    }
}

FileLocations file_locations(const Environment &environment) {
    FileLocations locations;
    char drive = volume_drive(environment);
    locations.system_root = system_root_of(environment, drive);
    static const std::vector<std::vector<std::string>> writable_system_folders = {
        {"Temp"},
        {"Tasks"},
        {"tracing"},
        {"Registration", "CRMLog"},
        {"System32", "spool", "drivers", "color"},
        {"System32", "FxsTmp"},
        {"System32", "com", "dmp"},
        {"System32", "Microsoft", "Crypto", "RSA", "MachineKeys"},
        {"SysWOW64", "FxsTmp"},
        {"SysWOW64", "com", "dmp"},
    };
    for (const std::vector<std::string> &folder : writable_system_folders)
        locations.writable_system_folders.push_back(joined(locations.system_root, folder));
    locations.program_files = {{"Program Files"}, {"Program Files (x86)"}, {"Program Files (Arm)"}};
    for (const char *name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"})
        if (auto folder = volume_path(environment.value(name), drive))
            locations.program_files.push_back(*folder);
    locations.user_folders = {{"$Recycle.Bin"}};
    if (auto folder = volume_path(environment.value("PUBLIC"), drive))
        locations.user_folders.push_back(*folder);
    locations.create_only_folders = {{"ProgramData"}};
    for (const char *name : {"ProgramData", "ALLUSERSPROFILE"})
        if (auto folder = volume_path(environment.value(name), drive))
            locations.create_only_folders.push_back(*folder);
    for (const std::vector<std::string> &folder : locations.create_only_folders)
        locations.closed_folders.push_back(
            joined(folder, {"Microsoft", "Windows Defender", "Platform"}));
    locations.profile_folders = {{"Users"}, {"Documents and Settings"}};
    if (auto home = volume_path(environment.value("USERPROFILE"), drive); home && home->size() > 1)
        locations.profile_folders.emplace_back(home->begin(), home->end() - 1);
    return locations;
}

FileLocation classify_location(const std::vector<std::string> &components,
                               const FileLocations &locations) {
    if (has_prefix(components, locations.system_root)) {
        for (const std::vector<std::string> &folder : locations.writable_system_folders)
            if (has_prefix(components, folder))
                return FileLocation::UserWritable;
        return FileLocation::System;
    }
    for (const std::vector<std::string> &folder : locations.program_files)
        if (!folder.empty() && has_prefix(components, folder))
            return FileLocation::ProgramFiles;
    for (const std::vector<std::string> &folder : locations.closed_folders)
        if (has_prefix(components, folder))
            return FileLocation::Other;
    for (const std::vector<std::string> &folder : locations.create_only_folders)
        if (!folder.empty() && has_prefix(components, folder) && components.size() > folder.size())
            return FileLocation::UserCreatable;
    for (const std::vector<std::string> &folder : locations.user_folders)
        if (!folder.empty() && has_prefix(components, folder) && components.size() > folder.size())
            return FileLocation::UserWritable;
    // Below a profile: a folder of a profiles folder, whose Default profiles only administrators
    // write.
    for (const std::vector<std::string> &folder : locations.profile_folders)
        if (has_prefix(components, folder) && components.size() > folder.size() + 1) {
            const std::string &profile = components[folder.size()];
            if (!equal_folded(profile, "Default") && !equal_folded(profile, "Default User"))
                return FileLocation::UserWritable;
        }
    return FileLocation::Other;
}

FileLocation classify_location(const std::vector<std::string> &components,
                               const Environment &environment) {
    return classify_location(components, file_locations(environment));
}
