// Finding the hives of a Windows volume or collection folder, without regard to letter case.
#include "evidence/system_folder.h"

#include "registry/host_path.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace {

struct Search {
    std::string root;
    std::string root_real; // ROOT with its links resolved, to tell where a link leads
    std::set<std::pair<dev_t, ino_t>> folders_seen;
    SystemLayout &layout;
};

std::string real_path(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

bool inside_root(const Search &search, const std::string &path) {
    std::string real = real_path(path);
    return !real.empty() && path_inside(search.root_real, real);
}

// True when `path` leads inside ROOT (a link that leads out is noted and not followed).
bool stays_inside(Search &search, const std::string &path) {
    struct stat link;
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || inside_root(search, path))
        return true;
    search.layout.notes.push_back(path + ": a link that leads out of " + search.root +
                                  "; not followed");
    return false;
}

// True when `path` is a folder inside ROOT not searched before.
bool enter_folder(Search &search, const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || !stays_inside(search, path))
        return false;
    return search.folders_seen.insert({info.st_dev, info.st_ino}).second;
}

// The entries of `folder` named `name` without regard to letter case, as paths, in name order.
// A folder that exists but cannot be read is a problem: what it holds is not scanned.
std::vector<std::string> find_entries(const std::string &folder, const char *name,
                                      std::vector<std::string> &problems) {
    std::vector<std::string> found;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno != ENOENT && errno != ENOTDIR)
            problems.push_back(folder + ": cannot be read (" + std::strerror(errno) +
                               "); the hives below it are not scanned");
        return found;
    }
    while (dirent *entry = readdir(dir))
        if (strcasecmp(entry->d_name, name) == 0)
            found.push_back(folder + "/" + entry->d_name);
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// Every path below `folder` whose components match `parts` without regard to letter case: the
// folders along the way are entered, the last part is returned as found.
std::vector<std::string> find_paths(Search &search, const std::string &folder,
                                    const std::vector<const char *> &parts,
                                    std::vector<std::string> &problems) {
    std::vector<std::string> paths = {folder};
    for (std::size_t i = 0; i < parts.size(); i++) {
        std::vector<std::string> next;
        for (const std::string &path : paths)
            for (std::string &entry : find_entries(path, parts[i], problems))
                if (i + 1 == parts.size() || enter_folder(search, entry))
                    next.push_back(std::move(entry));
        paths = std::move(next);
    }
    return paths;
}

// The hives among `paths` that can be read as files; the others are problems, named.
std::vector<std::string> usable_hives(Search &search, std::vector<std::string> paths) {
    std::vector<std::string> hives;
    for (std::string &path : paths) {
        struct stat info;
        if (!stays_inside(search, path))
            continue;
        if (stat(path.c_str(), &info) != 0)
            search.layout.problems.push_back(path + ": cannot be read (" + std::strerror(errno) +
                                             ")");
        else if (!S_ISREG(info.st_mode))
            search.layout.problems.push_back(
                path + ": " + (S_ISDIR(info.st_mode) ? "a folder" : "not a regular file") +
                " where a hive should be; not read");
        else
            hives.push_back(std::move(path));
    }
    return hives;
}

// The real folders below `folder`, sorted. Links among them are not profiles: Windows makes them
// for old names ("Default User", "All Users") of folders it holds elsewhere.
std::vector<std::string> profile_folders(const std::string &folder,
                                         std::vector<std::string> &problems) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        problems.push_back(folder + ": cannot be read (" + std::strerror(errno) +
                           "); its profiles are not scanned");
        return names;
    }
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        struct stat info;
        if (name != "." && name != ".." && lstat((folder + "/" + name).c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void find_software(Search &search) {
    // The system folder is whichever top-level folder holds System32/config/SOFTWARE: Windows
    // today, WINNT on older installations. A top-level folder that cannot be read matters only
    // when no SOFTWARE hive is found elsewhere.
    std::vector<std::string> top_problems;
    DIR *dir = opendir(search.root.c_str());
    if (dir == nullptr) {
        search.layout.problems.push_back(search.root + ": cannot be read (" + std::strerror(errno) +
                                         ")");
        return;
    }
    std::vector<std::string> top;
    while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            top.push_back(search.root + "/" + entry->d_name);
    closedir(dir);
    std::sort(top.begin(), top.end());
    for (const std::string &folder : top) {
        struct stat info;
        if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            !inside_root(search, folder))
            continue;
        std::vector<std::string> system32 = find_entries(folder, "System32", top_problems);
        for (const std::string &path : system32) {
            if (!enter_folder(search, path))
                continue;
            for (const std::string &config : find_entries(path, "config", search.layout.problems)) {
                if (!enter_folder(search, config))
                    continue;
                for (auto [name, found] : {std::pair{"SOFTWARE", &search.layout.software},
                                           std::pair{"SYSTEM", &search.layout.system}})
                    for (std::string &hive :
                         usable_hives(search, find_entries(config, name, search.layout.problems)))
                        found->push_back(std::move(hive));
            }
        }
    }
    if (search.layout.software.empty())
        search.layout.problems.insert(search.layout.problems.end(), top_problems.begin(),
                                      top_problems.end());
}

} // namespace

SystemLayout find_system_hives(const std::string &root) {
    SystemLayout layout;
    Search search{root, real_path(root), {}, layout};
    if (search.root_real.empty())
        search.root_real = root;
    find_software(search);

    std::vector<std::pair<std::string, std::string>> profiles; // name, path
    for (const char *base : {"Users", "Documents and Settings"})
        for (const std::string &folder : find_entries(root, base, layout.problems)) {
            if (!enter_folder(search, folder))
                continue;
            for (const std::string &name : profile_folders(folder, layout.problems))
                if (enter_folder(search, folder + "/" + name))
                    profiles.emplace_back(name, folder + "/" + name);
        }
    std::map<std::string, int> named;
    for (const auto &profile : profiles)
        named[profile.first]++;
    for (const auto &[name, path] : profiles) {
        SystemProfile found;
        found.folder = path.substr(root.size() + 1);
        found.name = named[name] > 1 ? found.folder : name;
        found.ntuser =
            usable_hives(search, find_paths(search, path, {"NTUSER.DAT"}, layout.problems));
        for (const std::vector<const char *> &parts :
             {std::vector<const char *>{"AppData", "Local", "Microsoft", "Windows", "UsrClass.dat"},
              std::vector<const char *>{"Local Settings", "Application Data", "Microsoft",
                                        "Windows", "UsrClass.dat"}})
            for (std::string &hive :
                 usable_hives(search, find_paths(search, path, parts, layout.problems)))
                found.usrclass.push_back(std::move(hive));
        layout.profiles.push_back(std::move(found));
    }
    return layout;
}
