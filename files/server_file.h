// The file a server value names, found inside a mounted Windows volume (the ROOT) as Windows would
// find it, and examined there: state, size, SHA-256, modification time, PE headers, location.
#pragma once

#include "files/pe_headers.h"
#include "files/server_path.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class FileState {
    Present,     // a regular file, read whole and hashed
    Missing,     // no such file in the image
    Outside,     // another drive, UNC, or a link that leads out of the ROOT: not opened
    NotAFile,    // a folder, FIFO, device or socket: never opened for reading
    Unreadable,  // there, but it could not be read; `problem` says why
    NotExamined, // this build or this kind of name is not examined; `problem` says why
    // Not there, in a ROOT that holds none of the volume's program files (a triage collection of
    // hives): whether it is missing on the machine cannot be told.
    NotCollected
};

const char *state_name(FileState state); // "present", "missing", "outside", "not-a-file", …

struct ServerFile {
    // The path Windows opens, after expansion, parsing, search and redirection ("C:\..."), and
    // its components from the volume's root.
    std::string windows_path;
    std::vector<std::string> place;
    // The path inside the ROOT, '/'-separated, each name as spelled on disk as far as it was
    // found and as written after that; empty when it is not in the image.
    std::string path;
    // When links were followed: where the file really is inside the ROOT; else empty.
    std::string target;
    FileState state = FileState::Missing;
    // `Outside` because Windows names another drive or a network share (not a link out of the
    // ROOT): a server that cannot be examined here at all.
    bool other_volume = false;
    std::string problem;
    std::uint64_t size = 0; // present files only
    std::string sha256;     // lowercase hex
    std::string modified;   // the file's modification time, UTC, ISO 8601
    std::optional<PeImage> pe;
    // Who can write where the file is: where a followed link leads (`target`) when it was found
    // through one, else where Windows names it.
    FileLocation location = FileLocation::Other;
    // Other files or folders inside the ROOT that match the same name in another letter case (a
    // collection copied to a case-sensitive disk), each examined: Windows would open one of them,
    // and which one cannot be told. At most kMaxCaseVariants.
    std::vector<ServerFile> case_variants;
};

// The most other-case twins of one file that are examined.
constexpr std::size_t kMaxCaseVariants = 16;
// Files larger than this are not read or hashed unless VolumeFiles::set_hash_limit raises it:
// they get their size, PE headers and `NotExamined`.
constexpr std::uint64_t kDefaultHashLimit = std::uint64_t(512) << 20;

// What a server value leads to.
struct ServerExamination {
    // What Windows would load or run: for a command line, the first candidate that exists, or
    // the last one tried when none does.
    ServerFile file;
    // For a command line that is not quoted: a later candidate that exists too, so that the line
    // names one program and Windows runs another (`file`), the classic unquoted-path hijack.
    std::optional<ServerFile> passed_over;
    // What was cut short on the way: the expansion, or the command line's candidates.
    ServerValueNotes notes;
    // A REG_SZ value that holds %NAME% of a set variable: whether Windows expands it is not
    // documented, so the file it leads to when expanded is examined too (`if_expanded`), and the
    // rule judges by the worse. `unexpanded_variable` is the first such NAME.
    std::string unexpanded_variable;
    std::optional<ServerFile> if_expanded;
    // Whether the path is relative to the loading process's current folder (taken as System32).
    bool relative = false;
};

// Where Windows would load `examined`'s file from, from the ROOT: the place it was found, or,
// when it is in none, the first place of the search where a file would be taken (for a bare name,
// the first folder searched; a place inside a missing folder counts as well). Empty when the
// value leads outside the volume or nowhere.
std::vector<std::string> resolved_place(const ServerExamination &examined);

struct VolumeFilesState; // each build's own

// The files of one ROOT. Each distinct file (device and inode) is read and hashed at most once,
// however many findings lead to it. Not for use by two threads at once.
//
// In clsid-scan.exe the ROOT is a drive of the running machine: "C:" (or "C:\"), or "" for the
// drive of its Windows folder. Every place is opened where it is, links and junctions are not
// followed (a place that is one, or lies beyond one, is not examined), and `path` holds the
// names as asked; `system_folder` is the Windows folder, when it is on that drive.
class VolumeFiles {
  public:
    explicit VolumeFiles(const std::string &root);
    ~VolumeFiles();
    VolumeFiles(const VolumeFiles &) = delete;
    VolumeFiles &operator=(const VolumeFiles &) = delete;

    // False, with `error` naming the ROOT, when it cannot be opened.
    bool ok() const;
    const std::string &error() const;
    // The top-level folder holding System32 ("Windows", "WINNT"), as spelled; empty when none.
    const std::string &system_folder() const;
    // How many files were read and hashed so far.
    std::size_t files_hashed() const;
    // Files larger than `bytes` are not hashed (kDefaultHashLimit until set).
    void set_hash_limit(std::uint64_t bytes);
    // Whether the ROOT holds the volume's program files: false for a triage collection, whose
    // system folder's System32 holds no .dll at all; decided once, when first asked.
    bool holds_program_files();

    VolumeFilesState &state() { return *state_; }

  private:
    std::unique_ptr<VolumeFilesState> state_;
};

// The file at `place` (components from the ROOT, found without regard to letter case), examined:
// every field but `windows_path` and `location`, which depend on how Windows named it.
// With `read_contents` false a regular file is only found, not read: `Present` without size,
// hash, time or PE headers, for rules that ask only whether a file is there.
ServerFile examine_place(VolumeFiles &volume, const std::vector<std::string> &place,
                         bool read_contents = true);

// The variables of this process, for resolving server values on the running machine (those of
// the user who runs the scan), with ProgramFiles and CommonProgramFiles as a 64-bit process sees
// them, and SystemRoot, windir and SystemDrive from the Windows folder when the block lacks them.
// False with `error` set when the block cannot be read, and in the Linux build, which has no
// running Windows machine.
bool live_environment(Environment &environment, std::string &error);

// Resolves the server value `value` as Windows would for `view` and the user whose environment
// `environment` is (the machine's, or with add_user_environment; environment_for_view is applied
// here), and examines the file it leads to inside the ROOT. Never opens anything outside it.
ServerExamination examine_server(VolumeFiles &volume, const std::string &value, ValueType type,
                                 ServerKind kind, Bitness view, const Environment &environment,
                                 bool read_contents = true);
