// Stand-in for the hive reader where libhivex is not available (the Windows build): hives are
// recognised, and reading one is an error that points to the Linux build.
#include "clsidscan/hive_source.h"

const char *hive_kind_name(HiveKind kind) {
    switch (kind) {
    case HiveKind::Software:
        return "SOFTWARE";
    case HiveKind::UserClasses:
        return "UsrClass.dat";
    case HiveKind::NtUser:
        return "NTUSER.DAT";
    }
    return "?";
}

ClassesSide hive_classes_side(HiveKind kind) {
    return kind == HiveKind::Software ? ClassesSide::Machine : ClassesSide::User;
}

bool looks_like_hive(const std::string &head) {
    return head.compare(0, 4, "regf") == 0;
}

bool read_hive_classes(const std::string &file_name, const std::string &, HiveClasses &out,
                       std::string &error) {
    out = HiveClasses{};
    error = file_name +
            ": a registry hive; hives are read by the Linux build of clsid-scan (with libhivex). "
            "Here give .reg exports, or --live for this machine's registry";
    return false;
}
