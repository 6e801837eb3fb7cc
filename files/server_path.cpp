// From a server's registry value to the path Windows opens, with no file system.
#include "files/server_path.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

char fold_char(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char upper_drive(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
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

// Civil date from days since 1970-01-01 (proleptic Gregorian), valid for any day count that
// fits in 64 bits with room for the era arithmetic.
void civil_from_days(std::int64_t days, std::int64_t &year, unsigned &month, unsigned &day) {
    days += 719468;
    std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto day_of_era = static_cast<std::uint64_t>(days - era * 146097);
    std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    std::uint64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;
    day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string format_time(std::int64_t days, std::uint32_t second_of_day, std::uint32_t ticks) {
    // ISO 8601 writes years 0000 to 9999 alone; a time outside them (only a forged one) is
    // written as the nearest of the two ends, so every time has one fixed width.
    constexpr std::int64_t first_day = -719528, day_after_last = 2932897; // 0000-01-01, 10000-01-01
    if (days < first_day) {
        days = first_day;
        second_of_day = ticks = 0;
    } else if (days >= day_after_last) {
        days = day_after_last - 1;
        second_of_day = 86399;
        ticks = 9999999;
    }
    std::int64_t year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ",
                  static_cast<long long>(year), month, day, second_of_day / 3600,
                  second_of_day / 60 % 60, second_of_day % 60, ticks);
    return text;
}

} // namespace

std::string fold_case(std::string_view text) {
    std::string folded(text);
    for (char &c : folded)
        c = fold_char(c);
    return folded;
}

bool equal_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (fold_char(a[i]) != fold_char(b[i]))
            return false;
    return true;
}

char volume_drive(const Environment &environment) {
    std::string system_drive = environment.value("SystemDrive");
    return system_drive.size() >= 2 && is_drive_letter(system_drive[0]) && system_drive[1] == ':'
               ? upper_drive(system_drive[0])
               : 'C';
}

const std::string *Environment::find(std::string_view name) const {
    auto found = variables_.find(fold_case(name));
    return found == variables_.end() ? nullptr : &found->second.second;
}

std::string Environment::value(std::string_view name) const {
    const std::string *found = find(name);
    return found != nullptr ? *found : std::string();
}

void Environment::set(std::string_view name, std::string value) {
    auto [entry, added] = variables_.try_emplace(fold_case(name), std::string(name), std::string());
    (void)added;
    entry->second.second = std::move(value);
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

void set_variables(Environment &environment, const std::vector<EnvironmentValue> &values) {
    std::vector<const EnvironmentValue *> pending;
    for (const EnvironmentValue &value : values) {
        if (value.expand && value.value.find('%') != std::string::npos)
            pending.push_back(&value);
        else
            environment.set(value.name, value.value);
    }
    // Each round sets the first pending value whose references to other pending values are all
    // set; when none is ready (a cycle), the first pending one. Bounded by the list's length.
    while (!pending.empty()) {
        std::size_t chosen = 0;
        for (std::size_t i = 0; i < pending.size(); i++) {
            std::string own = fold_case(pending[i]->name);
            bool ready = true;
            for (const std::string &name : referenced_names(pending[i]->value))
                for (const EnvironmentValue *other : pending)
                    if (name != own && fold_case(other->name) == name)
                        ready = false;
            if (ready) {
                chosen = i;
                break;
            }
        }
        const EnvironmentValue *value = pending[chosen];
        environment.set(value->name, expand_environment(value->value, environment));
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(chosen));
    }
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

Environment environment_for_view(Environment environment, ServerView view) {
    if (view == ServerView::Bits32) {
        if (const std::string *x86 = environment.find("ProgramFiles(x86)"))
            environment.set("ProgramFiles", *x86);
        if (const std::string *x86 = environment.find("CommonProgramFiles(x86)"))
            environment.set("CommonProgramFiles", *x86);
    }
    return environment;
}

std::string expand_environment(std::string_view text, const Environment &environment) {
    std::string expanded;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] != '%') {
            expanded += text[at++];
            continue;
        }
        std::size_t close = text.find('%', at + 1);
        if (close != std::string_view::npos && close > at + 1) {
            if (const std::string *value = environment.find(text.substr(at + 1, close - at - 1))) {
                expanded += *value;
                at = close + 1;
                continue;
            }
        }
        expanded += '%';
        at++;
    }
    return expanded;
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

// The candidates of a command line, each with whether ".exe" was added to it.
std::vector<std::pair<std::string, bool>> command_line_parts(std::string_view command_line) {
    std::vector<std::pair<std::string, bool>> parts;
    auto add = [&](std::string_view text) {
        std::string candidate(text);
        bool added = add_extension(candidate, ".exe");
        parts.emplace_back(std::move(candidate), added);
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
        at = command_line.find_first_of(" \t", at);
        add(command_line.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
    }
}

} // namespace

std::vector<std::string> command_line_candidates(std::string_view command_line) {
    std::vector<std::string> candidates;
    for (auto &part : command_line_parts(command_line))
        candidates.push_back(std::move(part.first));
    return candidates;
}

WindowsPath parse_windows_path(std::string_view text, char drive) {
    WindowsPath path;
    drive = upper_drive(drive);
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
        if (upper_drive(rest[0]) != drive) {
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
    bool ends_in_separator = !normalised.empty() && normalised.back() == '\\';
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
            if (!components.empty())
                components.pop_back();
            continue;
        }
        components.push_back(std::move(part));
    }
    if (!raw && !ends_in_separator && !components.empty()) {
        std::string &last = components.back();
        std::size_t keep = last.find_last_not_of(". ");
        last.erase(keep == std::string::npos ? 0 : keep + 1);
        if (last.empty())
            components.pop_back();
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

std::string windows_path_text(const std::vector<std::string> &components, char drive) {
    std::string text = std::string(1, upper_drive(drive)) + ":";
    for (const std::string &component : components)
        text += "\\" + component;
    return components.empty() ? text + "\\" : text;
}

std::vector<std::vector<std::string>>
server_search_paths(const WindowsPath &path, const Environment &environment, ServerView view) {
    char drive = volume_drive(environment);
    std::vector<std::string> system_root = system_root_of(environment, drive);
    std::vector<std::string> system32 = joined(system_root, {"System32"});
    std::vector<std::vector<std::string>> places;
    switch (path.kind) {
    case PathKind::Absolute:
        places.push_back(path.components);
        break;
    case PathKind::Relative:
        places.push_back(joined(system32, path.components));
        break;
    case PathKind::BareName: {
        std::vector<std::vector<std::string>> folders = {system32, joined(system_root, {"System"}),
                                                         system_root};
        std::string search = environment.value("Path");
        for (std::size_t start = 0; start <= search.size();) {
            std::size_t end = std::min(search.find(';', start), search.size());
            if (auto folder =
                    volume_path(std::string_view(search).substr(start, end - start), drive))
                folders.push_back(*folder);
            start = end + 1;
        }
        std::set<std::string> seen;
        for (const std::vector<std::string> &folder : folders) {
            std::vector<std::string> place = joined(folder, path.components);
            if (seen.insert(fold_case(windows_path_text(place))).second)
                places.push_back(std::move(place));
        }
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
                                           ServerView view) {
    if (view != ServerView::Bits32 || !has_prefix(components, system_root))
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
                                               ServerKind kind, ServerView view,
                                               const Environment &environment) {
    std::string expanded = type == ValueType::ExpandString ? expand_environment(value, environment)
                                                           : std::string(value);
    std::vector<ServerCandidate> candidates;
    if (kind == ServerKind::CommandLine) {
        for (auto &[text, added] : command_line_parts(expanded)) {
            ServerCandidate candidate;
            candidate.text = std::move(text);
            candidate.extension_added = added;
            candidates.push_back(std::move(candidate));
        }
    } else if (expanded.find_first_not_of(" \t") != std::string::npos) {
        ServerCandidate candidate;
        candidate.text = expanded;
        candidate.extension_added = add_extension(candidate.text, ".dll");
        candidates.push_back(std::move(candidate));
    }
    char drive = volume_drive(environment);
    for (ServerCandidate &candidate : candidates) {
        candidate.path = parse_windows_path(candidate.text, drive);
        candidate.places = server_search_paths(candidate.path, environment, view);
    }
    return candidates;
}

const char *location_name(FileLocation location) {
    switch (location) {
    case FileLocation::User:
        return "user";
    case FileLocation::System:
        return "system";
    case FileLocation::ProgramFiles:
        return "program-files";
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
    locations.user_folders = {{"ProgramData"}, {"$Recycle.Bin"}};
    for (const char *name : {"ProgramData", "ALLUSERSPROFILE", "PUBLIC"})
        if (auto folder = volume_path(environment.value(name), drive))
            locations.user_folders.push_back(*folder);
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
                return FileLocation::User;
        return FileLocation::System;
    }
    for (const std::vector<std::string> &folder : locations.program_files)
        if (!folder.empty() && has_prefix(components, folder))
            return FileLocation::ProgramFiles;
    for (const std::vector<std::string> &folder : locations.user_folders)
        if (!folder.empty() && has_prefix(components, folder) && components.size() > folder.size())
            return FileLocation::User;
    // Below a profile: a folder of a profiles folder, whose Default profiles only administrators
    // write.
    for (const std::vector<std::string> &folder : locations.profile_folders)
        if (has_prefix(components, folder) && components.size() > folder.size() + 1) {
            const std::string &profile = components[folder.size()];
            if (!equal_folded(profile, "Default") && !equal_folded(profile, "Default User"))
                return FileLocation::User;
        }
    return FileLocation::Other;
}

FileLocation classify_location(const std::vector<std::string> &components,
                               const Environment &environment) {
    return classify_location(components, file_locations(environment));
}

const char *machine_name(PeMachine machine) {
    switch (machine) {
    case PeMachine::X86:
        return "x86";
    case PeMachine::X64:
        return "x64";
    case PeMachine::Arm64:
        return "arm64";
    default:
        return "other";
    }
}

std::optional<std::uint64_t> pe_header_offset(std::string_view file_start,
                                              std::uint64_t file_size) {
    if (file_start.size() < 0x40 || file_start[0] != 'M' || file_start[1] != 'Z')
        return std::nullopt;
    std::uint64_t offset = 0;
    for (int i = 3; i >= 0; i--)
        offset = offset << 8 | static_cast<unsigned char>(file_start[0x3c + i]);
    if (offset > file_size || file_size - offset < 24)
        return std::nullopt;
    return offset;
}

std::optional<PeImage> parse_pe_header(std::string_view at_offset) {
    if (at_offset.size() < 24 || at_offset.substr(0, 4) != std::string_view("PE\0\0", 4))
        return std::nullopt;
    auto word = [&](std::size_t at) {
        return static_cast<std::uint16_t>(static_cast<unsigned char>(at_offset[at]) |
                                          static_cast<unsigned char>(at_offset[at + 1]) << 8);
    };
    PeImage image;
    image.machine_code = word(4);
    switch (image.machine_code) {
    case 0x014c:
        image.machine = PeMachine::X86;
        break;
    case 0x8664:
        image.machine = PeMachine::X64;
        break;
    case 0xaa64:
        image.machine = PeMachine::Arm64;
        break;
    default:
        image.machine = PeMachine::Other;
    }
    image.dll = (word(22) & 0x2000) != 0; // IMAGE_FILE_DLL in the file header's Characteristics
    return image;
}

std::optional<PeImage> parse_pe_image(std::string_view bytes) {
    std::optional<std::uint64_t> offset = pe_header_offset(bytes, bytes.size());
    if (!offset)
        return std::nullopt;
    return parse_pe_header(bytes.substr(static_cast<std::size_t>(*offset)));
}

bool machine_fits_view(PeMachine machine, ServerView view) {
    return view == ServerView::Bits32 ? machine == PeMachine::X86
                                      : machine == PeMachine::X64 || machine == PeMachine::Arm64;
}

std::string format_filetime(std::uint64_t filetime) {
    // 1601-01-01 is 134,774 days before 1970-01-01.
    std::uint64_t seconds = filetime / 10000000;
    auto ticks = static_cast<std::uint32_t>(filetime % 10000000);
    auto days = static_cast<std::int64_t>(seconds / 86400) - 134774;
    return format_time(days, static_cast<std::uint32_t>(seconds % 86400), ticks);
}

std::string format_unix_time(std::int64_t seconds, std::uint32_t nanoseconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        days--;
    }
    // A nanosecond count of a second or more carries (at most four seconds in 32 bits).
    second_of_day += nanoseconds / 1000000000;
    days += second_of_day / 86400;
    second_of_day %= 86400;
    return format_time(days, static_cast<std::uint32_t>(second_of_day),
                       nanoseconds % 1000000000 / 100);
}
