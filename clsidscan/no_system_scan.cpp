// Stand-in for --system where there is no Linux file system to search (the Windows build).
#include "clsidscan/system_scan.h"

#include <cstdio>

Environment image_environment(const std::string &, const VolumeFiles &volume,
                              const std::vector<std::string> &, std::vector<std::string> &) {
    return machine_environment("C:\\" + (volume.system_folder().empty() ? std::string("Windows")
                                                                        : volume.system_folder()));
}

int run_system_scan(const std::vector<std::string> &, const ScanSettings &, unsigned) {
    std::fputs("clsid-scan: --system scans mounted Windows volumes and is for the Linux build of "
               "clsid-scan; here use --live for this machine's registry, or give .reg exports\n",
               stderr);
    return 2;
}
