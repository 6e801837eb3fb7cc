// Finding the hives of a Windows volume or collection folder: SOFTWARE and each profile's hives.
#pragma once

#include <string>
#include <vector>

// One user profile folder and the hives in it that can hold classes ("" when absent).
struct SystemProfile {
    std::string name; // the profile folder's name
    std::string ntuser;
    std::string usrclass;
};

// The hives of one volume, found without regard to letter case.
struct SystemLayout {
    std::string software; // Windows/System32/config/SOFTWARE, or "" when there is none
    std::vector<SystemProfile> profiles;
};

// Looks for SOFTWARE and, under Users/ and Documents and Settings/, each profile's NTUSER.DAT and
// its UsrClass.dat (AppData/Local/Microsoft/Windows or, on old systems, Local
// Settings/Application Data/Microsoft/Windows).
SystemLayout find_system_hives(const std::string &root);
