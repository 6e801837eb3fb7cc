// Finding the hives of a Windows volume or collection folder, without regard to letter case.
#include "evidence/system_folder.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

// The entry of `folder` named `name` without regard to letter case, as a path; "" when none is.
std::string find_entry(const std::string &folder, const std::string &name) {
    std::string found;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir))
            if (strcasecmp(entry->d_name, name.c_str()) == 0) {
                found = folder + "/" + entry->d_name;
                break;
            }
        closedir(dir);
    }
    return found;
}

std::string find_path(const std::string &root, const std::vector<const char *> &parts) {
    std::string path = root;
    for (const char *part : parts) {
        path = find_entry(path, part);
        if (path.empty())
            break;
    }
    return path;
}

bool is_regular_file(const std::string &path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The profile folders below `folder`; links are not followed (profile folders hold links such as
// "Default User" to others, which would list a profile twice).
std::vector<std::string> profile_folders(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            struct stat info;
            if (name != "." && name != ".." && lstat((folder + "/" + name).c_str(), &info) == 0 &&
                S_ISDIR(info.st_mode))
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

SystemLayout find_system_hives(const std::string &root) {
    SystemLayout layout;
    layout.software = find_path(root, {"Windows", "System32", "config", "SOFTWARE"});
    if (!is_regular_file(layout.software))
        layout.software.clear();
    for (const char *base : {"Users", "Documents and Settings"}) {
        std::string folder = find_entry(root, base);
        if (folder.empty())
            continue;
        for (const std::string &name : profile_folders(folder)) {
            std::string profile = folder + "/" + name;
            SystemProfile found{
                name, find_entry(profile, "NTUSER.DAT"),
                find_path(profile, {"AppData", "Local", "Microsoft", "Windows", "UsrClass.dat"})};
            if (found.usrclass.empty())
                found.usrclass = find_path(profile, {"Local Settings", "Application Data",
                                                     "Microsoft", "Windows", "UsrClass.dat"});
            if (!is_regular_file(found.ntuser))
                found.ntuser.clear();
            if (!is_regular_file(found.usrclass))
                found.usrclass.clear();
            layout.profiles.push_back(found);
        }
    }
    return layout;
}
