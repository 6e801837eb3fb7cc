// From a server's registry value to the path Windows opens, with no file system: the environment,
// command lines, path forms, WOW64 redirection, the search, and who can write where a path lies.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The side of WOW64 a process, its registry view and its file view are on: 64-bit, or 32-bit under
// WOW64 (Wow6432Node, SysWOW64).
enum class Bitness { Bits64, Bits32 };
// How the registry holds the value: REG_SZ, REG_EXPAND_SZ.
enum class ValueType { String, ExpandString };
// What the value is: InprocServer32's library path, or LocalServer32's command line.
enum class ServerKind { InProcess, CommandLine };

// The most a variable's value or an expansion holds, in UTF-16 units, as Windows caps them.
constexpr std::size_t kMaxExpandedLength = 32767;
// The most folders of `Path` a bare server name is searched in; folders past it are not searched
// (Environment::search_path_cut says so).
constexpr std::size_t kMaxPathFolders = 128;

// An environment block. Names are compared without regard to letter case; a name keeps the
// spelling it was first set with. Copies share the variables until one of them is changed, so a
// copy per server costs nothing, however large a hostile hive made the block.
class Environment {
  public:
    Environment();
    const std::string *find(std::string_view name) const; // nullptr when not set
    std::string value(std::string_view name) const;       // empty when not set
    // `cut`: the value was cut at kMaxExpandedLength when it was set.
    void set(std::string_view name, std::string value, bool cut = false);
    bool cut(std::string_view name) const;
    // The folders of `Path` on the volume's drive, parsed once per block, each once, at most
    // kMaxPathFolders of them.
    const std::vector<std::vector<std::string>> &search_path() const;
    bool search_path_cut() const; // Path named more folders than are searched

  private:
    struct Variable {
        std::string name, value;
        bool cut = false;
    };
    struct SearchPath {
        std::vector<std::vector<std::string>> folders;
        bool cut = false;
    };
    const SearchPath &parsed_search_path() const;
    std::shared_ptr<std::map<std::string, Variable>> variables_; // by folded name
    mutable std::shared_ptr<const SearchPath> search_path_;      // made when first asked for
    mutable std::shared_ptr<const Environment> bits32_;          // environment_for_view's
    friend Environment environment_for_view(const Environment &environment, Bitness view);
};

// The machine's variables as a 64-bit Windows 10 sets them for a service: SystemDrive,
// SystemRoot and windir, ProgramFiles, ProgramFiles(x86), ProgramW6432, the CommonProgramFiles
// trio, ProgramData and ALLUSERSPROFILE, PUBLIC, ComSpec, Path, TEMP and TMP. `system_root` is
// the Windows folder ("C:\Windows", "C:\WINNT"); SystemDrive is its drive.
Environment machine_environment(std::string_view system_root = "C:\\Windows");

// Adds a user's variables: USERNAME, USERPROFILE (`profile`, or the profiles folder beside
// PUBLIC plus `user_name` when empty), HOMEDRIVE, HOMEPATH, APPDATA, LOCALAPPDATA, TEMP and TMP.
void add_user_environment(Environment &environment, std::string_view user_name,
                          std::string_view profile = {});

// A variable as a hive stores it: REG_EXPAND_SZ values are expanded, REG_SZ ones are not.
struct EnvironmentValue {
    std::string name;
    std::string value;
    bool expand = true;
};

// Sets variables from hive values (SYSTEM's Session Manager\Environment, a user's Environment).
// Plain values first, then expanded ones, each after the values of this list it names, so that
// the order in which the hive lists them does not matter; a value that names itself, or a cycle,
// takes what the other names held before (the first of a cycle in list order is set first). Of
// two values of one name (a hive holds only one) the last counts. Each value is expanded once and
// cut at kMaxExpandedLength, so the work is linear in the list and what it writes, however the
// values name each other. Returns the names of the values that were cut.
std::vector<std::string> set_variables(Environment &environment,
                                       const std::vector<EnvironmentValue> &values);

// Sets a user's variables from the Environment key of NTUSER.DAT as set_variables does, but for
// Path, which Windows appends to the machine's (cut at kMaxExpandedLength). Returns the names of
// the values that were cut.
std::vector<std::string> set_user_variables(Environment &environment,
                                            const std::vector<EnvironmentValue> &values);

// The drive letter of the volume, from SystemDrive ('C' when it is not a drive): the drive that
// is the ROOT.
char volume_drive(const Environment &environment);

// SOFTWARE's Microsoft\Windows\CurrentVersion values that hold the program folders, with the
// variable each sets: ProgramFilesDir → ProgramFiles, "ProgramFilesDir (x86)" →
// ProgramFiles(x86), …
const std::vector<std::pair<const char *, const char *>> &program_folder_values();

// The environment a process of `view` sees: WOW64 gives a 32-bit process the (x86) folders as
// ProgramFiles and CommonProgramFiles. Made once per block and shared by its copies.
Environment environment_for_view(const Environment &environment, Bitness view);

// As ExpandEnvironmentStrings: each %NAME% of a set variable becomes its value, in one pass; a
// percent sign that does not open a known name stays, and the scan goes on after it, so that
// "%UNKNOWN%" stays as written. The result holds at most kMaxExpandedLength UTF-16 units, never
// part of a character; the work is linear in the text and the result. `cut`, when given, is set
// when the result was cut there or took a variable that had been cut.
std::string expand_environment(std::string_view text, const Environment &environment,
                               bool *cut = nullptr);

// The length of UTF-8 `text` in UTF-16 units.
std::size_t utf16_length(std::string_view text);

// The first %NAME% of `text` that names a set variable (as spelled in `text`), or empty: what a
// REG_SZ value would lose if Windows expanded it after all.
std::string first_expandable_name(std::string_view text, const Environment &environment);

// The most program paths a command line is tried as; a line with more blanks than that is not
// tried past them (`cut` says so). Windows tries each, but no real program path holds so many
// blanks, and a hostile line of thousands of words would cost a search each.
constexpr std::size_t kMaxCommandLineCandidates = 64;

// One program path of a command line: a view of the line, and whether ".exe" goes after it.
struct CommandLinePart {
    std::string_view program;
    bool add_exe = false;
};

// The program paths CreateProcess tries for `command_line` when it is given no application
// name, in its order: a quoted first token is the only one; otherwise the text up to each space
// or tab, left to right, then the whole line. ".exe" is added to a candidate whose file name
// has no dot. At most kMaxCommandLineCandidates, found in time linear in the line; `cut`, when
// given, is set when the line had more.
std::vector<CommandLinePart> split_command_line(std::string_view command_line, bool *cut = nullptr);
// The same as texts, ".exe" added.
std::vector<std::string> command_line_candidates(std::string_view command_line,
                                                 bool *cut = nullptr);

// A Windows path parsed as the file calls read it.
enum class PathKind {
    Absolute,   // on the volume's own drive: `components` from its root
    Relative,   // relative to the current folder, with a folder part
    BareName,   // a file name alone: searched for
    OtherDrive, // another drive letter: not in the image
    Network,    // UNC, \\?\UNC\, a device or volume name: not in the image
    Invalid,    // empty, or a name no file can have
};

struct WindowsPath {
    PathKind kind = PathKind::Invalid;
    std::vector<std::string> components;
};

// Parses `text` for a volume whose drive is `drive` (the letter of SystemDrive): "X:\" and "\"
// start from the root, "\\?\X:\" and "\??\X:\" too but are taken as written (no "." or ".."
// folding, no trimming, "/" not a separator); otherwise "/" separates as "\" does, "." and ".."
// fold (".." at the root stays there), and the last name loses its trailing dots and spaces.
// "C:name" is relative to the current folder of C:.
WindowsPath parse_windows_path(std::string_view text, char drive = 'C');

// Whether `name` has the form of a short (8.3) name Windows generates: at most six characters,
// "~" and a number, eight in all, and an extension of at most three ("PROGRA~1", "MYDOCU~2.TXT").
bool is_generated_short_name(std::string_view name);
// Whether Windows could have given `long_name` the generated short name `short_name`: the long
// name is no 8.3 name itself, and its first characters and extension, upper-cased, with blanks
// and all but the last dot dropped and the characters 8.3 names cannot hold made "_", are the
// short name's, whatever the number (which depends on the order the names were made in).
bool shortens_to(std::string_view long_name, std::string_view short_name);

// Joins components into "C:\a\b" form.
std::string windows_path_text(const std::vector<std::string> &components, char drive = 'C');

// The places Windows looks for a server value of `path`, in order, each from the volume's root:
// an absolute path is itself; a relative one is taken from the system folder (System32, the
// current folder of the service that starts servers and of most hosts); a bare name is searched
// in System32, the 16-bit System folder, the Windows folder, then each folder of Path. The
// loading process's own folder and current folder come first on Windows; they are the host's,
// unknown here, and for COM's own hosts (dllhost, svchost) they are System32, first anyway.
// Each place is WOW64-redirected for `view`.
std::vector<std::vector<std::string>>
server_search_paths(const WindowsPath &path, const Environment &environment, Bitness view);

// WOW64's file system redirection for a 32-bit process: Windows\System32 → SysWOW64 (except
// catroot, catroot2, driverstore, drivers\etc, logfiles and spool below it), lastgood\System32
// likewise, Windows\regedit.exe → SysWOW64\regedit.exe, and Windows\Sysnative → System32.
// `system_root` is the Windows folder's components. A 64-bit view is not redirected.
std::vector<std::string> redirect_for_view(std::vector<std::string> components,
                                           const std::vector<std::string> &system_root,
                                           Bitness view);

// One path a server value leads Windows to try, and the places it looks for it.
struct ServerCandidate {
    std::string text;             // after expansion, with the extension Windows adds
    bool extension_added = false; // ".exe" (a command line) or ".dll" (a library) was added
    WindowsPath path;
    std::vector<std::vector<std::string>> places; // server_search_paths
};

// The paths `value` leads to, in the order Windows tries them, for a process of `view` whose
// environment is `environment` (see environment_for_view): expanded when the registry holds it
// as REG_EXPAND_SZ; a command line split as command_line_candidates does; a library path given
// ".dll" when its file name has no dot, as LoadLibrary does. Empty when the value names nothing.
// Quotes around a library path are dropped, as COM drops them. `notes`, when given, says what
// was cut short on the way.
struct ServerValueNotes {
    bool expansion_cut = false;  // the expansion reached kMaxExpandedLength (expand_environment)
    bool candidates_cut = false; // a command line with more than kMaxCommandLineCandidates
};
std::vector<ServerCandidate> server_candidates(std::string_view value, ValueType type,
                                               ServerKind kind, Bitness view,
                                               const Environment &environment,
                                               ServerValueNotes *notes = nullptr);

// Who can write where a file lies.
enum class FileLocation {
    UserWritable, // a place a standard user can write or replace files in
    System,       // the Windows folder
    ProgramFiles, // Program Files, Program Files (x86), Program Files (Arm)
    Other,
    // A place where a standard user can create new files and folders but not replace those of
    // others (ProgramData's inherited rights): a missing file there can be planted, a present one
    // is not the user's.
    UserCreatable,
};

// "user", "system", "program-files", "other", "user-create"
const char *location_name(FileLocation location);

// Where `components` (from the volume's root) lie, letter case aside. UserCreatable: below
// ProgramData (ALLUSERSPROFILE), but for Defender's Platform folder there (Other: no user writes
// it). UserWritable: below a profile (Users\<name> or Documents and Settings\<name>, the Default
// profiles aside; Users\Public included), $Recycle.Bin, and the folders of the Windows folder that
// grant Users write access on a default installation (Temp, Tasks, tracing, Registration\CRMLog,
// System32\spool\drivers\color, System32\FxsTmp, System32\com\dmp,
// System32\Microsoft\Crypto\RSA\MachineKeys, SysWOW64\FxsTmp, SysWOW64\com\dmp). The Windows
// folder, Program Files and the profiles are also taken from `environment` where it moves them.
FileLocation classify_location(const std::vector<std::string> &components,
                               const Environment &environment);

// The folders classify_location compares with, taken from an environment once, for classifying
// many paths.
struct FileLocations {
    std::vector<std::string> system_root;
    std::vector<std::vector<std::string>> writable_system_folders, program_files, user_folders,
        profile_folders, create_only_folders, closed_folders;
};
FileLocations file_locations(const Environment &environment);
FileLocation classify_location(const std::vector<std::string> &components,
                               const FileLocations &locations);
