// Stand-in for --live where there is no Windows registry to read (the Linux build).
#include "evidence/live_source.h"

bool add_live_sources(ClassesSides &, std::vector<std::string> &, std::string &error) {
    error = "--live reads the running Windows system's registry and is for clsid-scan.exe on "
            "Windows; here give hives or .reg exports, or --system";
    return false;
}
