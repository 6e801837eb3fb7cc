// Which file a server value leads to, in Windows' order of candidates and places; each build
// examines the places its own way (server_file_posix.cpp, no_server_file.cpp).
#include "files/server_file.h"

namespace {

// Whether Windows would take this file and stop looking: it is there (or a link that leads out
// of the image, which is there on the volume too). A folder is passed over, as CreateProcess goes
// on past a candidate that names one.
bool taken(const ServerFile &file) {
    switch (file.state) {
    case FileState::Missing:
    case FileState::NotCollected:
    case FileState::NotAFile:
        return false;
    case FileState::Outside:
        return !file.path.empty();
    default:
        return true;
    }
}

// "a/b/c" (a path inside the ROOT) as components.
std::vector<std::string> root_components(const std::string &path) {
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

// A file Windows would not find here is not told missing in a ROOT that holds no program files.
void mark_not_collected(VolumeFiles &volume, ServerFile &file) {
    if (file.state == FileState::Missing && !volume.holds_program_files()) {
        file.state = FileState::NotCollected;
        file.problem = "the ROOT holds none of the volume's program files (a collection of "
                       "hives?): whether the file is there cannot be told";
    }
}

ServerFile examine_candidate(VolumeFiles &volume, const ServerCandidate &candidate,
                             const Environment &environment, const FileLocations &locations,
                             bool read_contents) {
    ServerFile file;
    file.windows_path = candidate.text;
    switch (candidate.path.kind) {
    case PathKind::OtherDrive:
        file.state = FileState::Outside;
        file.other_volume = true;
        file.problem = "on another drive, not in this image";
        return file;
    case PathKind::Network:
        file.state = FileState::Outside;
        file.other_volume = true;
        file.problem = "a network, device or volume path, not in this image";
        return file;
    case PathKind::Invalid:
        file.problem = "no file can have this name";
        return file;
    default:
        break;
    }
    char drive = volume_drive(environment);
    std::optional<ServerFile> first;
    for (const std::vector<std::string> &place : candidate.places) {
        ServerFile found = examine_place(volume, place, read_contents);
        found.windows_path = windows_path_text(place, drive);
        found.place = place;
        found.location = classify_location(place, locations);
        // A link is judged where it leads: that is the file Windows loads, and who can replace it.
        if (!found.target.empty())
            found.location = classify_location(root_components(found.target), locations);
        for (ServerFile &variant : found.case_variants) {
            variant.windows_path = found.windows_path;
            variant.place = place;
            variant.location = classify_location(
                root_components(variant.target.empty() ? variant.path : variant.target), locations);
        }
        if (taken(found))
            return found;
        // With nothing taken, the first place says what is there: a folder before a name
        // missing everywhere.
        if (!first || (first->state == FileState::Missing && found.state != FileState::Missing))
            first = std::move(found);
    }
    return first ? *first : file;
}

} // namespace

const char *state_name(FileState state) {
    switch (state) {
    case FileState::Present:
        return "present";
    case FileState::Missing:
        return "missing";
    case FileState::Outside:
        return "outside";
    case FileState::NotAFile:
        return "not-a-file";
    case FileState::Unreadable:
        return "unreadable";
    case FileState::NotCollected:
        return "not-collected";
    default:
        return "not-examined";
    }
}

namespace {

ServerExamination examine_value(VolumeFiles &volume, const std::string &value, ValueType type,
                                ServerKind kind, Bitness view, const Environment &environment,
                                bool read_contents) {
    ServerExamination result;
    Environment seen = environment_for_view(environment, view);
    std::vector<ServerCandidate> candidates =
        server_candidates(value, type, kind, view, seen, &result.notes);
    FileLocations locations = file_locations(seen);
    if (candidates.empty()) {
        result.file.problem = "the value names no file";
        return result;
    }
    std::vector<ServerFile> files;
    for (const ServerCandidate &candidate : candidates) {
        files.push_back(examine_candidate(volume, candidate, seen, locations, read_contents));
        if (taken(files.back()))
            break;
    }
    if (!taken(files.back())) {
        // Nothing to run: report what the line most likely names, its first path that carries
        // an extension of its own ("…\app.exe" of "C:\Program Files\My App\app.exe -Embedding").
        std::size_t named = files.size() - 1;
        for (std::size_t i = 0; i < candidates.size(); i++)
            if (!candidates[i].extension_added) {
                named = i;
                break;
            }
        result.file = std::move(files[named]);
        result.relative = candidates[named].path.kind == PathKind::Relative;
        return result;
    }
    result.file = std::move(files.back());
    result.relative = candidates[files.size() - 1].path.kind == PathKind::Relative;
    for (std::size_t i = files.size(); i < candidates.size(); i++) {
        ServerFile later = examine_candidate(volume, candidates[i], seen, locations, read_contents);
        if (taken(later)) {
            result.passed_over = std::move(later);
            break;
        }
    }
    return result;
}

} // namespace

std::vector<std::string> resolved_place(const ServerExamination &examined) {
    return examined.file.place;
}

ServerExamination examine_server(VolumeFiles &volume, const std::string &value, ValueType type,
                                 ServerKind kind, Bitness view, const Environment &environment,
                                 bool read_contents) {
    ServerExamination result =
        examine_value(volume, value, type, kind, view, environment, read_contents);
    if (type == ValueType::String) {
        result.unexpanded_variable = first_expandable_name(value, environment);
        if (!result.unexpanded_variable.empty())
            result.if_expanded = examine_value(volume, value, ValueType::ExpandString, kind, view,
                                               environment, read_contents)
                                     .file;
    }
    mark_not_collected(volume, result.file);
    if (result.if_expanded)
        mark_not_collected(volume, *result.if_expanded);
    return result;
}
