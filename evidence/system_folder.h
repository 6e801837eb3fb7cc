// Finding the hives of a Windows volume or collection folder: SOFTWARE and each profile's hives.
#pragma once

#include <string>
#include <vector>

// One user profile folder and the hives in it that can hold classes. A list holds every letter
// case variant found (collections merged on a case-sensitive file system can hold two); it is
// empty when there is none.
struct SystemProfile {
    std::string name;   // the profile folder's name, or its path below ROOT when two share a name
    std::string folder; // its path below ROOT ("Users/alice")
    std::vector<std::string> ntuser;
    std::vector<std::string> usrclass;
};

// The hives of one volume, found without regard to letter case.
struct SystemLayout {
    // SYSTEMROOT/System32/config/SOFTWARE for every top-level folder that holds one (Windows,
    // WINNT, or any other name).
    std::vector<std::string> software;
    // The SYSTEM hives beside them, for the machine's environment variables.
    std::vector<std::string> system;
    std::vector<SystemProfile> profiles;
    // What stopped part of the search or made a hive unusable, each naming its path: folders
    // that could not be read, hives that are not regular files. Each means classes not scanned.
    std::vector<std::string> problems;
    // What was passed over on purpose, each naming its path (links that lead out of ROOT).
    std::vector<std::string> notes;
};

// Looks for every SOFTWARE hive and, under Users/ and Documents and Settings/ (each in every
// letter case), each profile's NTUSER.DAT and its UsrClass.dat (AppData/Local/Microsoft/Windows
// or, on old systems, Local Settings/Application Data/Microsoft/Windows). A folder reached twice,
// through a link or a junction inside ROOT, is searched once; a link that leads out of ROOT is
// not followed.
SystemLayout find_system_hives(const std::string &root);
