// Running the programs' class rules over a merged view, through the frame's walk.
#pragma once

#include "evidence/class_loaders.h"
#include "files/server_file.h"
#include "registry/memory_registry.h"
#include "scanframe/scanframe.h"

#include <optional>
#include <string>
#include <vector>

enum class ScanRule {
    Bare,
    Name,
    Shadow,
    Scriptlet,
    TreatAs,
    Abandoned,
    UserPath,
    Handler,
    Known,
    Stock,
    UserClass,
    Deleted
};
enum class Severity { Low, Medium, High };

// "bare", "name", "shadow", "scriptlet", "treatas", "abandoned", "userpath", "handler", "known",
// "stock", "userclass", "deleted"
const char *rule_name(ScanRule rule);
int view_bits(Bitness view); // 64, 32

// One class a rule listed. The texts are the registry's own, from UTF-16 to UTF-8, not through
// the code page; `sources` are the indexes of the sources that hold the class key.
struct FoundClass {
    std::string key;
    std::string description;
    std::string server_path; // bare rule; the user's server for the shadow rule
    std::string type_lib;    // bare rule
    double score = 0.0;      // name rule
    // Shadow rule: the subkey whose default value differs, and the machine's value there.
    std::string subkey;
    std::string machine_server;
    bool machine_has_server = false;
    // Hijack rules: the script a scriptlet class runs, the TreatAs chain from the class to the
    // one that serves, the handler, and the file a known class should load.
    std::string script;
    std::vector<std::string> chain;
    std::string handler;
    std::string expected; // known: the expected file; stock: the stock machine's server
    // Whether the user's own classes supply what the finding rests on.
    bool from_user = false;
    // A server value the rule judged in place of the class's server (the handler rule's
    // InprocHandler32, the shadow rule's handler): its text, whether it is REG_EXPAND_SZ, and
    // whether it is a library or a command line.
    struct JudgedValue {
        std::string text;
        bool expand = false;
        ServerKind kind = ServerKind::InProcess;
    };
    std::optional<JudgedValue> judged;
    // InprocServer32's Assembly and Class of a class the CLR serves, shown as facts.
    std::string assembly;
    std::string clr_class;
    // How much the finding matters, and the fixed texts that say why.
    Severity severity = Severity::Low;
    std::vector<std::string> reasons;
    const MemoryKey *class_key = nullptr;
    std::string entry; // the lines it added to the report, in the ANSI code page
    // The class registration whose server the finding names, when not `class_key` (the shadow
    // rule: the user's own).
    const MemoryKey *server_class = nullptr;
    // The places in the same evidence that make Windows load the class.
    std::vector<ClassLoader> loaded_by;
    // The server file, resolved and examined, when the scan has a volume to look in.
    std::optional<ServerExamination> server_file;
    // The latest write time (FILETIME) of the keys the rule read: the class key and its subkeys
    // that the finding names; 0 when the sources keep no times.
    unsigned long long written = 0;
    // A class carved from a hive's free space: which image of its hive it came from ("primary",
    // "recovered", "primary and recovered"), and the values whose data could not be recovered.
    bool deleted = false;
    std::string carved_from;
    std::vector<std::string> unrecoverable;
};

struct RuleReport {
    Bitness view;
    ScanRule rule;
    std::string text; // the report in the ANSI code page, byte for byte the program's
    std::vector<FoundClass> found;
    bool out_of_memory = false;
    // Server files a rule needed and could not read (a folder on the way that cannot be listed):
    // "<windows path>: <problem>", each once. The scan says so and ends with exit code 2.
    std::vector<std::string> unreadable;
    bool deleted = false; // over classes carved from free space, not the live ones
};

// Walks the view's CLSID key (Wow6432Node\CLSID for the 32-bit view) with the bare or the name
// rule, as the x86_64 or the i686 program does on a system whose ANSI code page is
// view.code_page.
RuleReport scan_classes(const MemoryRegistry &view, Bitness which, ScanRule rule);

// The CLSID key of `which` (Wow6432Node\CLSID for the 32-bit view) in a UTF-16 tree whose root
// is the classes root, such as one side's classes or the merged view; null when there is none.
const MemoryKey *classes_clsid(const MemoryRegistry &tree, Bitness which);

// The walk behind scan_classes, with any class rule: `result` gets the report's text (empty when
// the view has no CLSID key); the rule adds its found classes to `result` itself.
void walk_view(const MemoryRegistry &view, Bitness which, ClassRule rule, RuleReport &result);

// A found class for the entry that a rule has just appended to `report` from `start` on: its key
// name and description as the registry holds them, and the entry's bytes.
FoundClass found_class_entry(const ClassKey &cls, const ReportText &report, std::size_t start);
