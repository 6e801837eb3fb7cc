// Loading clsid-scan's sources: recognising each by its content, recovering dirty hives.
#include "evidence/scan_sources.h"

#include "evidence/heap_reserve.h"
#include "evidence/hive_recovery.h"
#include "evidence/hive_source.h"
#include "evidence/reg_export.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <utility>

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = path + ": is a folder, not a file (use --system for a Windows volume)";
        return false;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // One block of the file's size, filled in one pass: a hive of hundreds of megabytes is not
    // copied again and again as a growing text would be.
    bytes.clear();
    if (S_ISREG(info.st_mode) && info.st_size > 0)
        bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = std::fread(&bytes[0], 1, bytes.size(), file);
    bool failed = std::ferror(file) != 0;
    bytes.resize(got);
    // Whatever the file holds beyond what it measured (a file still growing, a pipe) comes too.
    char buffer[1 << 16];
    while (!failed && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    failed = failed || std::ferror(file) != 0;
    int saved = errno;
    std::fclose(file);
    if (failed) {
        error = path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

std::vector<std::string> logs_beside(const std::string &hive_path) {
    std::size_t slash = hive_path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : hive_path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? hive_path : hive_path.substr(slash + 1);
    std::vector<std::string> logs;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return logs;
    while (dirent *entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate.size() <= name.size() ||
            strncasecmp(candidate.c_str(), name.c_str(), name.size()) != 0)
            continue;
        std::string suffix = candidate.substr(name.size());
        if (strcasecmp(suffix.c_str(), ".LOG") == 0 || strcasecmp(suffix.c_str(), ".LOG1") == 0 ||
            strcasecmp(suffix.c_str(), ".LOG2") == 0)
            logs.push_back(slash == std::string::npos ? candidate : folder + candidate);
    }
    closedir(dir);
    std::sort(logs.begin(), logs.end());
    return logs;
}

bool load_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                     std::string &state, std::string &note, std::string &error) {
    return read_source_file(path, image, error) &&
           recover_hive_image(path, options, image, state, note, error);
}

bool recover_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                        std::string &state, std::string &note, std::string &error) {
    state = "clean";
    if (!hive_is_dirty(image.bytes)) {
        note = path + ": clean";
        return true;
    }
    if (!options.use_logs) {
        state = "not recovered";
        note = path + ": dirty, not recovered (--no-logs); read as it is";
        return true;
    }
    std::vector<HiveLog> logs;
    for (const std::string &log_path :
         options.log_files.empty() ? logs_beside(path) : options.log_files) {
        HiveLog log;
        log.name = log_path;
        if (!read_whole_file(log_path, log.bytes, error))
            return false;
        logs.push_back(std::move(log));
    }
    HiveRecovery recovery = recover_hive(image.own(), logs);
    state = recovery.state == HiveState::Recovered ? "recovered" : "not recovered";
    note = describe_recovery(path, recovery);
    return true;
}

bool read_hive_source(const std::string &path, const SourceOptions &options, SourceFile &image,
                      LoadedHive &hive, std::vector<std::string> &notes, std::string &error) {
    if (!recover_hive_image(path, options, image, hive.state, hive.note, error))
        return false;
    notes.push_back(hive.note);
    bool read = read_hive_classes(path, image.bytes, hive.classes, error, image.descriptor);
    notes.insert(notes.end(), hive.classes.warnings.begin(), hive.classes.warnings.end());
    return read;
}

bool add_hive_source(ClassesSides &sides, const std::string &path, const LoadedHive &hive,
                     std::string &error) {
    if (!add_classes_source(sides, path, hive_classes_side(hive.classes.kind),
                            hive.classes.classes.root, error))
        return false;
    sides.sources.back().hive_state = hive.state;
    sides.sources.back().hive_note = hive.note;
    return true;
}

bool load_source(ClassesSides &sides, const std::string &path, const SourceOptions &options,
                 std::vector<std::string> &notes, std::string &error) {
    SourceFile file;
    if (!read_source_file(path, file, error))
        return false;
    // The tree of a source takes about twice the file's size.
    reserve_heap(2 * file.bytes.size());
    if (looks_like_hive(file.bytes)) {
        LoadedHive hive;
        return read_hive_source(path, options, file, hive, notes, error) &&
               add_hive_source(sides, path, hive, error);
    }
    if (looks_like_reg_export(file.bytes)) {
        RegExportClasses exported;
        if (!read_reg_export(file.own(), options.code_page, exported, error)) {
            error = path + ": " + error;
            return false;
        }
        if (!exported.has_machine && !exported.has_user) {
            notes.push_back(path + ": holds no class registrations (no keys under "
                                   "HKEY_CLASSES_ROOT or a Software\\Classes key)");
            return true;
        }
        return (!exported.has_machine || add_classes_source(sides, path, ClassesSide::Machine,
                                                            std::move(exported.machine), error)) &&
               (!exported.has_user || add_classes_source(sides, path, ClassesSide::User,
                                                         std::move(exported.user), error));
    }
    error = path + ": neither a registry hive nor a .reg export";
    return false;
}
