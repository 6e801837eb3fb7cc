// Stand-in for the hive reader where libhivex is not available (the Windows build): hives are
// recognised, and reading one is an error that points to the Linux build.
#include "hive/hive_source.h"

bool read_hive_classes(const std::string &file_name, std::string_view, HiveClasses &out,
                       std::string &error, int) {
    out = HiveClasses{};
    error = file_name +
            ": a registry hive; hives are read by the Linux build of clsid-scan (with libhivex). "
            "Here give .reg exports, or --live for this machine's registry";
    return false;
}
