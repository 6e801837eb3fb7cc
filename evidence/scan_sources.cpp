// Loading clsid-scan's sources: recognising each by its content, recovering dirty hives.
#include "evidence/scan_sources.h"

#include "evidence/heap_reserve.h"
#include "evidence/reg_export.h"
#include "hive/hive_carve.h"
#include "hive/hive_recovery.h"
#include "hive/hive_source.h"
#include "registry/ascii_text.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include "registry/code_page.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

namespace {

// How far into a file the header of a .reg export is looked for: it comes first, after a byte
// order mark and perhaps blank and comment lines. A huge file is not read to its end for this.
constexpr std::size_t REG_EXPORT_HEAD = std::size_t(1) << 20;

// Runs `read`, a read of the source at `path`; when memory runs short under it, fails with a line
// naming the file instead.
template <typename Read> bool guarded(const std::string &path, std::string &error, Read read) {
    try {
        return read();
    } catch (const std::bad_alloc &) {
        error = path + ": not enough memory to read it";
        return false;
    }
}

// The first bytes of a file, at most `length`; nothing from a stream, which only its own read may
// take from.
bool read_head(const std::string &path, std::size_t length, std::string &head, std::string &error) {
    std::uint64_t size = 0;
    bool is_stream = false;
    head.clear();
    int descriptor = open_source_file(path, size, is_stream, error);
    if (descriptor < 0)
        return false;
    bool read =
        is_stream || read_descriptor(descriptor, path, std::min<std::uint64_t>(size, length), false,
                                     head, error);
    close(descriptor);
    return read;
}

// Whether the stored (UTF-16LE) `name` is `ascii`, without regard to case.
bool named(const std::string &name, const char *ascii) {
    std::size_t length = std::char_traits<char>::length(ascii);
    if (name.size() != 2 * length)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (name[2 * i + 1] != 0 || ascii_upper(name[2 * i]) != ascii_upper(ascii[i]))
            return false;
    return true;
}

// Where the classes start in a hive of `kind`: the names of its classes root.
std::vector<const char *> classes_root_of(HiveKind kind) {
    if (kind == HiveKind::Software)
        return {"Classes"};
    if (kind == HiveKind::NtUser)
        return {"Software", "Classes"};
    return {};
}

// For a path from a hive's root: the length of the classes root of `kind` plus the depth of a
// class key below it (2 for CLSID\{...}, 3 for Wow6432Node\CLSID\{...}); 0 when the path
// is not at or below a class key.
std::size_t class_depth(HiveKind kind, const std::vector<std::string> &path) {
    std::vector<const char *> root = classes_root_of(kind);
    for (std::size_t i = 0; i < root.size(); ++i)
        if (i >= path.size() || !named(path[i], root[i]))
            return 0;
    std::size_t at = root.size();
    std::size_t depth =
        at + 1 < path.size() && named(path[at], "CLSID") ? at + 2
        : at + 2 < path.size() && named(path[at], "Wow6432Node") && named(path[at + 1], "CLSID")
            ? at + 3
            : 0;
    return depth != 0 && path.size() >= depth ? depth : 0;
}

bool maybe_class_path(const std::vector<std::string> &path) {
    for (HiveKind kind : {HiveKind::Software, HiveKind::UserClasses, HiveKind::NtUser})
        if (class_depth(kind, path) != 0)
            return true;
    return false;
}

DeletedKey deleted_key(const HiveCarving &carving, std::size_t index,
                       const std::multimap<std::size_t, std::size_t> &children) {
    const CarvedKey &carved = carving.keys[index];
    DeletedKey key;
    key.name = carved.path.back();
    key.written = carved.written;
    for (const CarvedValue &value : carved.values) {
        if (value.recoverable)
            key.values.push_back({value.name, value.type, value.data});
        else
            key.unrecoverable.push_back(
                value.name_known ? utf16_to_utf8(utf16le_bytes_to_text(value.name)) : "(unknown)");
    }
    auto range = children.equal_range(carved.offset);
    for (auto child = range.first; child != range.second; ++child)
        key.children.push_back(deleted_key(carving, child->second, children));
    return key;
}

// The registrations of one image's carving: each deleted key at or below a class key whose
// parent is live (or above the class keys), with the deleted keys beneath it.
std::vector<DeletedRegistration> registrations_of(const HiveCarving &carving, HiveKind kind,
                                                  CarvedImage image) {
    std::map<std::size_t, std::size_t> class_keys; // cell offset to index, of the keys taken
    std::vector<std::size_t> depths(carving.keys.size());
    for (std::size_t i = 0; i < carving.keys.size(); ++i)
        if ((depths[i] = class_depth(kind, carving.keys[i].path)) != 0)
            class_keys.emplace(carving.keys[i].offset, i);
    std::multimap<std::size_t, std::size_t> children;
    std::vector<DeletedRegistration> registrations;
    for (const auto &[offset, i] : class_keys) {
        const CarvedKey &carved = carving.keys[i];
        if (carved.path.size() > depths[i] && carved.parent_deleted &&
            class_keys.count(carved.parent_offset))
            children.emplace(carved.parent_offset, i);
    }
    for (const auto &[offset, i] : class_keys) {
        const CarvedKey &carved = carving.keys[i];
        if (carved.path.size() > depths[i] && carved.parent_deleted &&
            class_keys.count(carved.parent_offset))
            continue;
        DeletedRegistration registration;
        std::size_t root = classes_root_of(kind).size();
        registration.parent_path.assign(carved.path.begin() + std::ptrdiff_t(root),
                                        carved.path.end() - 1);
        registration.key = deleted_key(carving, i, children);
        registration.image = image;
        registrations.push_back(std::move(registration));
    }
    return registrations;
}

// A registration's content, letter case of names aside, to tell the same one in two images.
void append_signature(const DeletedKey &key, std::string &out) {
    out += utf16_to_utf8(utf16le_bytes_to_text(key.name)) + '\x01' + std::to_string(key.written);
    for (const MemoryValue &value : key.values)
        out += '\x02' + value.name + '\x03' + std::to_string(value.type) + '\x03' + value.data;
    for (const std::string &lost : key.unrecoverable)
        out += '\x04' + lost;
    for (const DeletedKey &child : key.children) {
        out += '\x05';
        append_signature(child, out);
    }
    out += '\x06';
}

std::string signature(const DeletedRegistration &registration) {
    std::string out;
    for (const std::string &name : registration.parent_path)
        out += utf16_to_utf8(utf16le_bytes_to_text(name)) + '\\';
    append_signature(registration.key, out);
    return ascii_raised(out);
}

// Whether the live classes hold the registration's top key as it is: a key of a dirty primary
// file that its own lists do not reach yet, while the replayed image does, is not deleted.
bool live_as_carved(const MemoryRegistry &classes, const DeletedRegistration &registration) {
    const MemoryKey *key = classes.root.get();
    for (const std::string &name : registration.parent_path)
        if (!key || !(key = memory_child(classes, *key, name)))
            return false;
    key = key ? memory_child(classes, *key, registration.key.name) : nullptr;
    return key && key->written == registration.key.written;
}

// The class registrations of the hive's carvings: `primary`, when not null, of the primary file
// of a hive recovered from its logs, and `image` of the image read. They go to `hive`, one found
// in both images once.
void add_carvings(const std::string &path, const HiveCarving *primary, const HiveCarving &image,
                  LoadedHive &hive, std::vector<std::string> &notes) {
    HiveKind kind = hive.classes.kind;
    std::size_t orphans = 0, from_primary = 0, from_recovered = 0;
    std::map<std::string, std::size_t> seen;
    for (int pass = primary ? 0 : 1; pass < 2; ++pass) {
        const HiveCarving &carving = pass == 0 ? *primary : image;
        orphans = std::max(orphans, carving.orphans);
        CarvedImage which = pass == 0 || !primary ? CarvedImage::Primary : CarvedImage::Recovered;
        for (DeletedRegistration &registration : registrations_of(carving, kind, which)) {
            if (pass == 0 && live_as_carved(hive.classes.classes, registration))
                continue;
            (which == CarvedImage::Primary ? from_primary : from_recovered) += 1;
            auto [place, fresh] = seen.emplace(signature(registration), hive.deleted.size());
            if (!fresh) {
                hive.deleted[place->second].image = CarvedImage::Both;
                continue;
            }
            hive.deleted.push_back(std::move(registration));
        }
    }
    if (!hive.deleted.empty())
        notes.push_back(path + ": " + std::to_string(hive.deleted.size()) +
                        " deleted class registrations carved from free space (" +
                        std::to_string(from_primary) + " in the primary file" +
                        (!primary ? std::string()
                                  : ", " + std::to_string(from_recovered) +
                                        " in the image recovered from its logs") +
                        ")");
    if ((primary && primary->cut_short) || image.cut_short)
        notes.push_back(path + ": carving deleted keys stopped early: the free space's records "
                               "share cells more than a hive's size allows");
    if (orphans > 0)
        notes.push_back(path + ": " + std::to_string(orphans) +
                        " deleted keys found whose parent key is gone; their place in the hive "
                        "is unknown and they are not judged");
}

} // namespace

bool match_logs_to_sources(const std::vector<std::string> &sources, const SourceOptions &options,
                           std::vector<SourceOptions> &each, std::string &error) {
    each.assign(sources.size(), options);
    for (SourceOptions &one : each)
        one.log_files.clear();
    if (options.log_files.empty() || !options.use_logs)
        return true;
    // The base block of each hive source; a source that cannot be read says so when it is loaded.
    std::vector<std::pair<std::size_t, std::string>> hives;
    for (std::size_t i = 0; i < sources.size(); i++) {
        std::string head, ignored;
        if (read_head(sources[i], HIVE_HEADER_SIZE, head, ignored) && looks_like_hive(head))
            hives.emplace_back(i, std::move(head));
    }
    for (const std::string &log : options.log_files) {
        std::string head;
        if (!read_head(log, HIVE_HEADER_SIZE, head, error))
            return false;
        // A log whose base block is damaged can only be told by there being one hive.
        const bool identified = hive_header_is_sound(head);
        std::vector<std::size_t> owners;
        for (const auto &hive : hives)
            if (!identified || log_belongs_to_hive(head, hive.second))
                owners.push_back(hive.first);
        if (owners.size() == 1) {
            each[owners[0]].log_files.push_back(log);
            continue;
        }
        const std::string name = identified ? hive_header_file_name(head) : std::string();
        if (hives.empty())
            error = log + ": given with --log, but no SOURCE is a hive";
        else if (owners.empty())
            error = log + ": the log of none of the hives given" +
                    (name.empty() ? std::string() : " (its base block names " + name + ")");
        else if (!identified)
            error = log + ": its base block is damaged, so which of the hives given it belongs to "
                          "cannot be told; give the hive in a run of its own";
        else
            error = log + ": could be the log of " + sources[owners[0]] + " or of " +
                    sources[owners[1]] + " (their base blocks are alike); give each hive in a " +
                    "run of its own";
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
                     HiveLogsOutcome &outcome, std::string &error) {
    return read_source_file(path, image, error) &&
           recover_hive_image(path, options, image, outcome, error);
}

bool recover_hive_image(const std::string &path, const SourceOptions &options, SourceFile &image,
                        HiveLogsOutcome &outcome, std::string &error) {
    return guarded(path, error, [&] {
        if (!looks_like_hive(image.bytes())) {
            error = path + ": not a registry hive (no \"regf\" signature)";
            return false;
        }
        // Only what the base block says is the hive is read, however long the file; a base block
        // that cannot be trusted leaves the whole file, read only where used.
        image.keep_first(hive_extent(image.bytes(), image.bytes().size()));
        if (hive_header_is_sound(image.bytes()))
            image.read_ahead();
        HiveRecovery recovery;
        if (hive_is_dirty(image.bytes()) && !options.use_logs) {
            recovery.state = HiveState::NotRecovered;
            recovery.reason = "--no-logs";
        } else if (hive_is_dirty(image.bytes())) {
            std::vector<HiveLog> logs;
            for (const std::string &log_path :
                 options.log_files.empty() ? logs_beside(path) : options.log_files) {
                HiveLog log;
                log.name = log_path;
                if (!read_whole_file(log_path, log.bytes, error))
                    return false;
                logs.push_back(std::move(log));
            }
            std::string recovered;
            recovery = replay_hive_logs(image.bytes(), logs, recovered);
            if (recovery.state == HiveState::Recovered)
                image.replace(std::move(recovered));
        }
        outcome.state = recovery.state == HiveState::Clean       ? "clean"
                        : recovery.state == HiveState::Recovered ? "recovered"
                                                                 : "not recovered";
        outcome.summary = recovery_summary(recovery);
        outcome.note = describe_recovery(path, recovery);
        return true;
    });
}

bool read_hive_source(const std::string &path, const SourceOptions &options, SourceFile &image,
                      LoadedHive &hive, std::vector<std::string> &notes, std::string &error) {
    return guarded(path, error, [&] {
        HiveLogsOutcome logs;
        // A dirty hive's primary file is evidence too: its free space is carved before the
        // replay rewrites pages of it.
        HiveCarving primary;
        bool carve_primary = options.carve_deleted && options.use_logs &&
                             looks_like_hive(image.bytes()) && hive_is_dirty(image.bytes());
        if (carve_primary)
            primary = carve_deleted_keys(image.bytes(), maybe_class_path);
        if (!recover_hive_image(path, options, image, logs, error))
            return false;
        bool replayed = logs.state == "recovered";
        hive.state = logs.state;
        hive.note = logs.note;
        if (!read_hive_classes(path, image.bytes(), hive.classes, error, image.descriptor())) {
            // One line: what the logs did belongs to the error.
            if (logs.state != "clean")
                error += "; " + logs.summary;
            return false;
        }
        notes.push_back(hive.note);
        notes.insert(notes.end(), hive.classes.warnings.begin(), hive.classes.warnings.end());
        if (carve_primary && !replayed)
            add_carvings(path, nullptr, primary, hive, notes);
        else if (options.carve_deleted)
            add_carvings(path, replayed ? &primary : nullptr,
                         carve_deleted_keys(image.bytes(), maybe_class_path), hive, notes);
        return true;
    });
}

bool add_hive_source(ClassesSides &sides, const std::string &path, const LoadedHive &hive,
                     std::string &error) {
    if (!add_classes_source(sides, path, hive_classes_side(hive.classes.kind),
                            hive.classes.classes.root, error))
        return false;
    sides.sources.back().hive_state = hive.state;
    sides.sources.back().hive_note = hive.note;
    for (DeletedRegistration registration : hive.deleted) {
        registration.side = hive_classes_side(hive.classes.kind);
        registration.source = static_cast<unsigned short>(sides.sources.size() - 1);
        sides.deleted.push_back(std::move(registration));
    }
    return true;
}

bool load_source(ClassesSides &sides, const std::string &path, const SourceOptions &options,
                 std::vector<std::string> &notes, std::string &error) {
    return guarded(path, error, [&] {
        SourceFile file;
        if (!read_source_file(path, file, error))
            return false;
        if (looks_like_hive(file.bytes())) {
            // The tree of a source takes about twice the hive's size (when its base block can be
            // trusted to tell it).
            if (hive_header_is_sound(file.bytes()))
                reserve_heap(2 * hive_extent(file.bytes(), file.bytes().size()));
            LoadedHive hive;
            return read_hive_source(path, options, file, hive, notes, error) &&
                   add_hive_source(sides, path, hive, error);
        }
        if (looks_like_reg_export(file.bytes().substr(0, REG_EXPORT_HEAD))) {
            reserve_heap(2 * file.bytes().size());
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
            return (!exported.has_machine ||
                    add_classes_source(sides, path, ClassesSide::Machine,
                                       std::move(exported.machine), error)) &&
                   (!exported.has_user || add_classes_source(sides, path, ClassesSide::User,
                                                             std::move(exported.user), error));
        }
        error = path + ": neither a registry hive nor a .reg export";
        return false;
    });
}
