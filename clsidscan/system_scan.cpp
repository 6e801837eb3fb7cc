// Scanning whole Windows volumes: one machine and its users per ROOT, and many ROOTs at once.
#include "clsidscan/system_scan.h"

#include "clsidscan/finding_files.h"
#include "clsidscan/finding_filter.h"
#include "evidence/scheduled_tasks.h"
#include "files/name_case.h"
#include "hive/hive_source.h"
#include "hive/hive_strings.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_set>

namespace {

// Reads a hive's classes and, into `loaders` when given, what it makes Windows load: both from
// the hive as its logs leave it.
// The values of a few keys of a hive, read as its logs leave it; `read` says whether they were.
struct ReplayedStrings {
    std::vector<std::vector<std::string>> keys;
    std::vector<std::vector<HiveString>> values; // one list a key
    bool read = false;
};

// The keys of SOFTWARE that the machine's environment comes from.
ReplayedStrings software_settings() {
    return {
        {{"Microsoft", "Windows NT", "CurrentVersion"}, {"Microsoft", "Windows", "CurrentVersion"}},
        {},
        false};
}

// `strings` (when given) gets the values of its keys, likewise.
bool read_system_hive(const std::string &path, const ScanSettings &settings, LoadedHive &hive,
                      RootScan &scan, std::string &error,
                      std::vector<ClassLoader> *loaders = nullptr,
                      ReplayedStrings *strings = nullptr) {
    SourceFile image;
    if (!read_source_file(path, image, error) ||
        !read_hive_source(path, settings.sources, image, hive, scan.notes, error))
        return false;
    std::string why;
    if (loaders && !read_hive_image_loaders(path, image.bytes(), hive.classes.kind, *loaders, why))
        scan.notes.push_back(why + "; what it makes Windows load is not known");
    if (strings)
        strings->read =
            read_hive_image_strings(path, image.bytes(), strings->keys, strings->values, why);
    return true;
}

// What tells one finding from another in a report: its entry, the fields it names, and the
// file its server resolved to for that user (one machine value such as %LOCALAPPDATA%\x.dll
// leads each user somewhere else).
std::string finding_identity(const FoundClass &found) {
    std::string identity = found.entry;
    for (const std::string *field :
         {&found.key, &found.description, &found.server_path, &found.type_lib})
        identity += '\0' + *field;
    identity.append(reinterpret_cast<const char *>(&found.score), sizeof found.score);
    if (found.server_file) {
        const ServerExamination &examined = *found.server_file;
        for (const ServerFile *file :
             {&examined.file, examined.passed_over ? &*examined.passed_over : nullptr})
            if (file)
                identity += '\0' + file->windows_path + '\0' + file->path + '\0' +
                            state_name(file->state) + '\0' + file->sha256 + '\0' +
                            location_name(file->location);
    }
    return identity;
}

// Drops from every user's report the findings that the machine's report has and that every
// user's report has too; their text is rebuilt from the entries that remain. Sets of identities
// keep this linear in the findings, of which a volume can have tens of thousands.
void report_common_findings_once(const ViewScan &machine, std::vector<ViewScan> &users) {
    if (users.empty())
        return;
    // Reports are matched by place; a user with deleted classes the machine lacks has more.
    std::size_t shared = machine.reports.size();
    for (const ViewScan &user : users)
        shared = std::min(shared, user.reports.size());
    for (std::size_t k = 0; k < shared; k++) {
        std::unordered_set<std::string> common;
        for (const FoundClass &found : machine.reports[k].found)
            common.insert(finding_identity(found));
        for (const ViewScan &user : users) {
            std::unordered_set<std::string> also_here;
            for (const FoundClass &found : user.reports[k].found) {
                std::string identity = finding_identity(found);
                if (common.count(identity) != 0)
                    also_here.insert(std::move(identity));
            }
            common = std::move(also_here);
        }
        for (ViewScan &user : users) {
            RuleReport &report = user.reports[k];
            if (!common.empty())
                report.found.erase(std::remove_if(report.found.begin(), report.found.end(),
                                                  [&](const FoundClass &found) {
                                                      return common.count(
                                                                 finding_identity(found)) != 0;
                                                  }),
                                   report.found.end());
            report.text.clear();
            for (const FoundClass &found : report.found)
                report.text += found.entry;
        }
    }
}

std::vector<EnvironmentValue> variables_of(const std::vector<HiveString> &strings) {
    std::vector<EnvironmentValue> variables;
    for (const HiveString &string : strings)
        variables.push_back(EnvironmentValue{string.name, string.value, string.expand});
    return variables;
}

// A note for each variable a hive made longer than Windows allows.
void note_cut_variables(const std::string &hive, const std::vector<std::string> &names,
                        std::vector<std::string> &notes) {
    for (const std::string &name : names)
        notes.push_back(hive + ": variable " + name + " expands past " +
                        std::to_string(kMaxExpandedLength) + " characters; cut there");
}

// The machine's environment as its hives set it: the system folder and program folders from
// SOFTWARE, the variables of SYSTEM's Session Manager; Windows' defaults for what they lack.
// A hive that cannot be read for them leaves the defaults, with a note.
// `software` holds SOFTWARE's settings as its logs leave it when the caller has read them; else
// they are read here, likewise. SYSTEM's logs are replayed as `options` says.
Environment machine_environment_of(const SystemLayout &layout, const VolumeFiles &volume,
                                   ReplayedStrings software, const SourceOptions &options,
                                   std::vector<std::string> &notes) {
    std::string system_root =
        "C:\\" + (volume.system_folder().empty() ? std::string("Windows") : volume.system_folder());
    std::vector<HiveString> current, folders, system;
    std::string error;
    if (!layout.software.empty() && !software.read) {
        SourceFile image;
        HiveLogsOutcome outcome;
        if (load_hive_image(layout.software.front(), options, image, outcome, error))
            software.read = read_hive_image_strings(layout.software.front(), image.bytes(),
                                                    software.keys, software.values, error);
    }
    if (software.read) {
        current = std::move(software.values[0]);
        folders = std::move(software.values[1]);
    } else if (!layout.software.empty()) {
        const std::string &software = layout.software.front();
        if (!read_hive_strings(software, {"Microsoft", "Windows NT", "CurrentVersion"}, current,
                               error) ||
            !read_hive_strings(software, {"Microsoft", "Windows", "CurrentVersion"}, folders,
                               error))
            notes.push_back(error + "; Windows' default folders are used");
    }
    for (const HiveString &value : current)
        if (equal_folded(value.name, "SystemRoot") && !value.value.empty())
            system_root = value.value;
    Environment environment = machine_environment(system_root);
    std::vector<EnvironmentValue> program_folders;
    for (const HiveString &value : folders)
        for (const auto &[name, variable] : program_folder_values())
            if (equal_folded(value.name, name) && !value.value.empty())
                program_folders.push_back(EnvironmentValue{variable, value.value, value.expand});
    set_variables(environment, program_folders);
    if (!layout.system.empty()) {
        // SYSTEM is read for nothing else: its logs are replayed here.
        const std::string &path = layout.system.front();
        SourceFile image;
        HiveLogsOutcome outcome;
        bool read = load_hive_image(path, options, image, outcome, error);
        if (read && !outcome.note.empty() && outcome.state != "clean")
            notes.push_back(outcome.note);
        if (read && read_system_image_environment(path, image.bytes(), system, error))
            note_cut_variables(layout.system.front(),
                               set_variables(environment, variables_of(system)), notes);
        else
            notes.push_back(error + "; Windows' default variables are used");
    }
    return environment;
}

// A user's environment: the machine's, the profile's own folders, then the user's Environment
// key of NTUSER.DAT.
// `replayed`, when set, holds that key as NTUSER.DAT's logs leave it.
Environment user_environment_of(Environment environment, const std::string &name,
                                const std::string &profile, const std::string &ntuser,
                                const ReplayedStrings &replayed, std::vector<std::string> &notes) {
    add_user_environment(environment, name, profile);
    std::vector<HiveString> variables;
    std::string error;
    if (ntuser.empty())
        return environment;
    // Windows appends the user's Path to the machine's.
    if (replayed.read)
        note_cut_variables(
            ntuser, set_user_variables(environment, variables_of(replayed.values[0])), notes);
    else if (read_hive_strings(ntuser, {"Environment"}, variables, error))
        note_cut_variables(ntuser, set_user_variables(environment, variables_of(variables)), notes);
    else
        notes.push_back(error + "; the user's default variables are used");
    return environment;
}

// What in these hives makes Windows load classes; a hive that cannot be read for it is noted.
void add_hive_loaders(const std::string &path, HiveKind kind, std::vector<ClassLoader> &loaders,
                      std::vector<std::string> &notes) {
    std::string error;
    if (!read_hive_loaders(path, kind, loaders, error))
        notes.push_back(error + "; what it makes Windows load is not known");
}

// The scheduled tasks of the Windows folder that holds `software` (ROOT/.../System32/config/
// SOFTWARE): its System32's Tasks folder, in any letter case.
void add_task_loaders(const std::string &root, const std::string &software,
                      std::vector<ClassLoader> &loaders, std::vector<std::string> &notes) {
    if (software.compare(0, root.size() + 1, root + "/") != 0)
        return;
    std::string relative = software.substr(root.size() + 1);
    for (int up = 0; up < 2; up++) {
        std::size_t cut = relative.rfind('/');
        if (cut == std::string::npos)
            return;
        relative.erase(cut);
    }
    struct FolderCloser {
        void operator()(DIR *folder) const { closedir(folder); }
    };
    std::unique_ptr<DIR, FolderCloser> system32(opendir((root + "/" + relative).c_str()));
    std::vector<std::string> folders;
    while (dirent *entry = system32 ? readdir(system32.get()) : nullptr)
        if (equal_folded(entry->d_name, "Tasks"))
            folders.push_back(relative + "/" + entry->d_name);
    for (const std::string &tasks : folders)
        read_task_loaders(root, tasks, loaders, notes);
}

bool anything_found(const ViewScan &scan) {
    return std::any_of(scan.reports.begin(), scan.reports.end(),
                       [](const RuleReport &r) { return !r.found.empty(); });
}

} // namespace

namespace {

// The file's canonical path, or the path as given when it cannot be resolved.
std::string canonical_path(const std::string &path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

bool file_name_is(const std::string &path, const char *name) {
    std::size_t cut = path.find_last_of('/');
    return equal_folded(cut == std::string::npos ? path : path.substr(cut + 1), name);
}

} // namespace

Environment image_environment(const std::string &root, const VolumeFiles &volume,
                              const std::vector<std::string> &sources,
                              std::vector<std::string> &notes) {
    SystemLayout layout = find_system_hives(root);
    Environment machine =
        machine_environment_of(layout, volume, software_settings(), SourceOptions(), notes);
    std::vector<std::string> given;
    for (const std::string &source : sources)
        given.push_back(canonical_path(source));
    auto is_given = [&](const std::vector<std::string> &hives) {
        return std::any_of(hives.begin(), hives.end(), [&](const std::string &hive) {
            return std::find(given.begin(), given.end(), canonical_path(hive)) != given.end();
        });
    };
    for (const SystemProfile &profile : layout.profiles)
        if (is_given(profile.usrclass) || is_given(profile.ntuser))
            return user_environment_of(
                machine, profile.name,
                windows_path_text(parse_windows_path(profile.folder).components),
                profile.ntuser.empty() ? std::string() : profile.ntuser.front(), ReplayedStrings(),
                notes);
    // A user's NTUSER.DAT from outside the image still holds that user's variables.
    for (std::size_t i = 0; i < sources.size(); i++)
        if (file_name_is(sources[i], "NTUSER.DAT")) {
            std::string folder = given[i].substr(0, given[i].find_last_of('/'));
            return user_environment_of(machine, folder.substr(folder.find_last_of('/') + 1), {},
                                       sources[i], ReplayedStrings(), notes);
        }
    return machine;
}

RootScan scan_system_root(const std::string &root, const ScanSettings &settings) {
    RootScan scan;
    std::string error;
    auto fail = [&](const std::string &why) {
        scan.notes.push_back(why);
        scan.failed = true;
        return scan;
    };
    SystemLayout layout = find_system_hives(root);
    scan.notes.insert(scan.notes.end(), layout.notes.begin(), layout.notes.end());
    scan.notes.insert(scan.notes.end(), layout.problems.begin(), layout.problems.end());
    scan.failed = !layout.problems.empty();
    if (layout.software.empty())
        return fail(root + ": no System32/config/SOFTWARE hive in any top-level folder (not a "
                           "Windows volume?)");
    // Every SOFTWARE found is the machine's (a ROOT with two must hold the same classes in both).
    std::vector<LoadedHive> software(layout.software.size());
    ClassesSides machine_sides;
    std::vector<ClassLoader> machine_loaders;
    ReplayedStrings machine_settings = software_settings();
    for (std::size_t i = 0; i < software.size(); i++) {
        const std::string &path = layout.software[i];
        if (!read_system_hive(path, settings, software[i], scan, error,
                              i == 0 ? &machine_loaders : nullptr,
                              i == 0 ? &machine_settings : nullptr))
            return fail(error);
        if (software[i].classes.kind != HiveKind::Software)
            return fail(path + ": a " + hive_kind_name(software[i].classes.kind) +
                        " hive, not SOFTWARE");
        if (!add_hive_source(machine_sides, path, software[i], error))
            return fail(error);
    }
    auto add_machine = [&](ClassesSides &sides) {
        for (std::size_t i = 0; i < software.size(); i++)
            add_hive_source(sides, layout.software[i], software[i], error);
    };
    // The server files, found as Windows would for the machine and for each user.
    VolumeFiles volume(root);
    if (!volume.ok())
        return fail(volume.error());
    volume.set_hash_limit(settings.hash_limit);
    if (std::string note = triage_note(volume, root); !note.empty())
        scan.notes.push_back(note);
    SourceOptions system_logs;
    system_logs.use_logs = settings.sources.use_logs;
    Environment machine_variables = machine_environment_of(
        layout, volume, std::move(machine_settings), system_logs, scan.notes);
    if (!layout.system.empty() &&
        !read_system_loaders(layout.system.front(), machine_loaders, error))
        scan.notes.push_back(error + "; what its environment makes Windows load is not known");
    add_task_loaders(root, layout.software.front(), machine_loaders, scan.notes);
    ClassLoaderIndex machine_index = index_loaders(machine_loaders);
    ViewScan machine;
    if (!scan_view(machine_sides, settings, machine, {&volume, &machine_variables, &machine_index}))
        return fail(root + ": out of memory");

    std::vector<std::string> user_names;
    std::vector<ClassesSides> user_sides;
    std::vector<ViewScan> users;
    std::vector<Environment> user_variables;
    std::vector<ClassLoaderIndex> user_loaders;
    user_loaders.reserve(layout.profiles.size());
    user_sides.reserve(layout.profiles.size());
    users.reserve(layout.profiles.size());
    user_variables.reserve(layout.profiles.size());
    for (const SystemProfile &profile : layout.profiles) {
        ClassesSides sides;
        std::vector<ClassLoader> loaders = machine_loaders;
        bool has_classes = false, failed = false;
        ReplayedStrings user_environment{{{"Environment"}}, {}, false};
        add_machine(sides);
        std::vector<std::string> hives = profile.usrclass;
        hives.insert(hives.end(), profile.ntuser.begin(), profile.ntuser.end());
        for (std::size_t i = 0; i < hives.size() && !failed; i++) {
            const std::string &path = hives[i];
            bool ntuser = i >= profile.usrclass.size();
            LoadedHive hive;
            error.clear();
            if (!read_system_hive(path, settings, hive, scan, error, &loaders,
                                  ntuser && !user_environment.read ? &user_environment : nullptr)) {
                // A user's hive is known by its place: one without the keys that tell its kind
                // (a new, empty or damaged profile) holds no classes, no reason to stop.
                if (hive.classes.holds_no_classes_key) {
                    if (ntuser) // its Environment and Explorer keys still count
                        add_hive_loaders(path, HiveKind::NtUser, loaders, scan.notes);
                    scan.notes.push_back(
                        path +
                        (ntuser ? ": holds no Software\\Classes" : ": holds no classes keys") +
                        "; read as a user hive without classes");
                    continue;
                }
                failed = true;
            } else if (hive_classes_side(hive.classes.kind) != ClassesSide::User) {
                error = path + ": a " + std::string(hive_kind_name(hive.classes.kind)) +
                        " hive, not a user's";
                failed = true;
            } else if (!add_hive_source(sides, path, hive, error)) {
                failed = true;
            }
            if (failed) {
                scan.notes.push_back(error);
                scan.failed = true;
                break;
            }
            has_classes = has_classes || !hive.classes.classes.root->children.empty();
        }
        if (failed)
            continue;
        // Users\Public is the folder Windows shares among users, not a profile: without hives
        // of its own it is no finding's business.
        if (!has_classes && hives.empty() && equal_folded(profile.name, "Public"))
            continue;
        if (!has_classes) {
            scan.notes.push_back(root + ": profile " + profile.name +
                                 " has no classes hive; only the machine's classes apply there");
            continue;
        }
        user_names.push_back(profile.name);
        user_variables.push_back(
            user_environment_of(machine_variables, profile.name,
                                windows_path_text(parse_windows_path(profile.folder).components),
                                profile.ntuser.empty() ? std::string() : profile.ntuser.front(),
                                user_environment, scan.notes));
        user_loaders.push_back(index_loaders(std::move(loaders)));
        user_sides.push_back(std::move(sides));
        users.emplace_back();
        if (!scan_view(user_sides.back(), settings, users.back(),
                       {&volume, &user_variables.back(), &user_loaders.back()}))
            return fail(root + ": out of memory");
    }

    // Files first: a finding is common to all users only where it leads each to the same file.
    examine_findings(machine.reports, volume, machine_variables);
    for (std::size_t u = 0; u < users.size(); u++)
        examine_findings(users[u].reports, volume, user_variables[u]);
    report_common_findings_once(machine, users);

    finish_findings(machine.reports, &volume, machine_variables, settings.min_severity);
    for (std::size_t u = 0; u < users.size(); u++)
        finish_findings(users[u].reports, &volume, user_variables[u], settings.min_severity);
    std::vector<const std::vector<RuleReport> *> all_reports = {&machine.reports};
    for (const ViewScan &user : users)
        all_reports.push_back(&user.reports);
    for (const std::string &note : cut_notes({&machine.reports}, machine_variables, root))
        scan.notes.push_back(note);
    for (std::size_t u = 0; u < users.size(); u++)
        for (const std::string &note :
             cut_notes({&users[u].reports}, user_variables[u], root + ": user " + user_names[u]))
            scan.notes.push_back(note);
    std::vector<std::string> unreadable = unreadable_notes(all_reports, root);
    scan.notes.insert(scan.notes.end(), unreadable.begin(), unreadable.end());
    scan.failed = scan.failed || !unreadable.empty();
    if (settings.filter) {
        filter_findings(*settings.filter, machine_sides, machine.reports, machine_variables);
        for (std::size_t u = 0; u < users.size(); u++)
            filter_findings(*settings.filter, user_sides[u], users[u].reports, user_variables[u]);
    }

    scan.out = render_reports(machine_sides, machine.reports, settings,
                              {root, std::nullopt, &machine_variables}, true);
    scan.found = anything_found(machine);
    for (std::size_t u = 0; u < users.size(); u++) {
        scan.out += render_reports(user_sides[u], users[u].reports, settings,
                                   {root, user_names[u], &user_variables[u]}, true);
        scan.found = scan.found || anything_found(users[u]);
    }
    return scan;
}

int run_system_scan(const std::vector<std::string> &given, const ScanSettings &settings,
                    unsigned jobs) {
    // A ROOT named twice, in whatever spelling, is scanned once.
    std::vector<std::string> roots;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const std::string &root : given) {
        struct stat info;
        if (stat(root.c_str(), &info) == 0 && !seen.insert({info.st_dev, info.st_ino}).second)
            print_note(root + ": given again; scanned once");
        else
            roots.push_back(root);
    }
    std::vector<RootScan> results(roots.size());
    std::vector<bool> done(roots.size(), false);
    std::mutex lock;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < roots.size();) {
            RootScan scan;
            try {
                scan = scan_system_root(roots[i], settings);
            } catch (const std::bad_alloc &) { // the hives' own reads say which file
                scan.notes.push_back(roots[i] + ": not enough memory to scan it");
                scan.failed = true;
            }
            std::lock_guard<std::mutex> hold(lock);
            results[i] = std::move(scan);
            done[i] = true;
            finished.notify_all();
        }
    };
    if (jobs == 0)
        jobs = std::max(1u, std::thread::hardware_concurrency());
    // Each worker holds one ROOT's hives at a time, so memory stays what `jobs` ROOTs need.
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < std::min<std::size_t>(jobs, roots.size()); w++)
        workers.emplace_back(work);

    if (settings.format == ReportFormat::Csv)
        std::fputs(CSV_HEADER, stdout);
    bool found = false, failed = false;
    for (std::size_t i = 0; i < roots.size(); i++) {
        RootScan scan;
        {
            std::unique_lock<std::mutex> hold(lock);
            finished.wait(hold, [&] { return done[i]; });
            scan = std::move(results[i]);
        }
        for (const std::string &note : scan.notes)
            print_note(note);
        std::fwrite(scan.out.data(), 1, scan.out.size(), stdout);
        std::fflush(stdout);
        found = found || scan.found;
        failed = failed || scan.failed;
    }
    for (std::thread &worker : workers)
        worker.join();
    return failed ? 2 : found ? 1 : 0;
}
