// The Windows build reads no hive files: they hold no references for it.
#include "evidence/class_loaders.h"

bool read_hive_loaders(const std::string &, HiveKind, std::vector<ClassLoader> &, std::string &) {
    return true;
}

bool read_system_loaders(const std::string &, std::vector<ClassLoader> &, std::string &) {
    return true;
}

bool read_hive_image_loaders(const std::string &, std::string_view, HiveKind,
                             std::vector<ClassLoader> &, std::string &) {
    return true;
}
