// The kinds of hive that hold classes, and telling a hive by its first bytes: the part of the
// hive reader that every build has.
#include "hive/hive_source.h"

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

bool looks_like_hive(std::string_view head) {
    return head.compare(0, 4, "regf") == 0;
}
