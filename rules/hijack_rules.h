// The class-hijacking techniques beyond the programs' two shapes, over the merged classes view:
// scriptlet servers, TreatAs chains, abandoned and user-writable servers, odd handlers, and the
// classes attackers are known to target.
#pragma once

#include "classes/classes_merge.h"
#include "files/server_file.h"
#include "rules/class_scan.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What the hijack rules look at besides the view: the sides it merges, the environment its
// server paths expand in, and the volume whose files they name (null when there is none).
struct HijackScan {
    const MemoryRegistry *view = nullptr;
    const ClassesSides *sides = nullptr;
    const Environment *environment = nullptr;
    VolumeFiles *volume = nullptr;
    // What in the same evidence makes Windows load classes (null: nothing known).
    const struct ClassLoaderIndex *loaders = nullptr;
};

// References that load classes, found by the class they name (letter case aside) in one look-up.
struct ClassLoaderIndex {
    std::vector<ClassLoader> list;
    std::unordered_map<std::string, std::vector<std::size_t>> by_clsid; // folded CLSID → list
};
ClassLoaderIndex index_loaders(std::vector<ClassLoader> loaders);
// The references of `index` (null for none) that name `clsid`.
std::vector<ClassLoader> loaders_of(const ClassLoaderIndex *index, std::string_view clsid);

// TreatAs links Windows follows before it gives up on a chain.
constexpr std::size_t MAX_TREATAS_LINKS = 8;

// A default string value of a subkey, as the registry holds it.
struct RegistryString {
    std::string text; // UTF-8, up to the first NUL
    bool expand = false;
};
std::optional<RegistryString> subkey_default(const MemoryKey &key, std::u16string_view subkey);
// A named string value of a subkey (`name` empty: the default), as the registry holds it.
std::optional<RegistryString> subkey_string(const MemoryKey &key, std::u16string_view subkey,
                                            std::u16string_view name);

// The server a class registration names, as COM loads it: its InprocServer32 default (for a
// class the CLR serves, mscoree.dll with a CodeBase, the assembly CodeBase names), else its
// LocalServer32 command line (the program LocalServer32\ServerExecutable names, quoted, when
// that is set: COM starts it and passes the line as its arguments).
struct ClassServer {
    RegistryString value;
    ServerKind kind;
};
std::optional<ClassServer> class_server(const MemoryKey *key);

// Whether class_server gives the assembly a CodeBase names (a class the CLR serves): its PE
// headers say AnyCPU code is x86, and the CLR loads it into a process of either view.
bool served_from_code_base(const MemoryKey *key);

// The server a finding judged: its judged value (a handler), else the server of its server
// class or class key.
std::optional<ClassServer> judged_server(const FoundClass &found);

// What else a finding's id covers besides its server, as "Name=value" texts in a fixed order,
// the names empty ones left out: the class's InprocHandler32, ScriptletURL, TreatAs and
// AutoTreatAs, and the server values COM reads besides the defaults (InprocServer32 and
// LocalServer32 when a named value replaces them, CodeBase, ServerExecutable, Assembly, Class).
std::vector<std::string> judged_values(const FoundClass &found);

// InprocServer32's Assembly and Class of the finding's server class, into the finding.
void add_clr_facts(FoundClass &found);

// How the registry holds a server value: REG_EXPAND_SZ or REG_SZ.
ValueType value_type(const RegistryString &value);

// The process a server is resolved for: an in-process server loads into a process of the view;
// a local server is started by a 64-bit service on 64-bit Windows, in either view.
Bitness server_process_view(ServerKind kind, Bitness which);

// An environment as a 64-bit and as a 32-bit process see it (WOW64 changes the program
// folders), made once for the many servers resolved in it.
struct ViewEnvironments {
    Environment bits64, bits32;
    FileLocations locations; // of the environment itself
};
ViewEnvironments view_environments(const Environment &environment);

// The first place Windows would look for that server in `which` (a command line is resolved as
// a 64-bit service starts it), from the volume's root, without looking at any file; empty when
// the value names no file.
std::vector<std::string> first_place(const ClassServer &server, Bitness which,
                                     const ViewEnvironments &environments);

// Runs hijack rules (Scriptlet, TreatAs, Abandoned, UserPath, Handler, Known, Stock, UserClass)
// over the CLSID key
// of `which`, in the registry's order, all in one pass: a report for each rule, in the order of
// `rules`. Each entry is the description line and one or two lines of what the rule found, and
// an empty line.
std::vector<RuleReport> scan_hijacks(const HijackScan &scan, Bitness which,
                                     const std::vector<ScanRule> &rules);

// The publicly reported targets: class, name, the file Windows' own registration loads from the
// system folder, and where the report is.
struct KnownClass {
    std::string clsid; // "{...}", compared without regard to letter case
    std::string name;
    std::string expected_file;
    std::string source;
};
const std::vector<KnownClass> &known_classes();

// What one stock Windows 10 x64 machine registers for a class in the 64-bit view
// (rules/stock_classes.tsv): its server kind and value, the machine's folders as variables.
struct StockClass {
    ServerKind kind = ServerKind::InProcess;
    std::string server;
};
// The stock registration of `clsid` ("{...}", letter case aside); null when the table has none.
const StockClass *stock_class(std::string_view clsid);

// Whether Windows itself serves a class from `stock_file` on one version and from `file` on
// another (both in the system folder): classes that moved between Windows' own DLLs.
bool moved_between_windows_files(std::string_view stock_file, std::string_view file);
