// clsid-scan: the class rules of clsid-bare-scan and clsid-name-scan over hives, .reg exports
// and, on Windows, the running system's registry.
#include "clsidscan/scan_output.h"
#include "clsidscan/system_scan.h"
#include "evidence/live_source.h"
#include "evidence/scan_sources.h"
#include "registry/code_page.h"
#include "rules/class_scan.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h> // _setmode: the reports are bytes, written without any LF to CR LF translation
#else
#define O_BINARY 0 // files here have no text mode
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_NOTHING_FOUND = 0;
constexpr int EXIT_FOUND = 1;
constexpr int EXIT_ERROR = 2;

const char USAGE[] =
    "usage: clsid-scan [--rule bare|name|shadow|both|all] [--format text|json]\n"
    "                  [--encoding utf-8|cp932]\n"
    "                  [--codepage 932|1252] [--view 64|32|both] [--log FILE]... [--no-logs]\n"
    "                  SOURCE...\n"
    "       clsid-scan --live [options]\n"
    "       clsid-scan --system [--jobs N] [options] ROOT...\n"
    "       clsid-scan --recover OUT [--log FILE]... HIVE\n"
    "Lists suspicious class registrations (HKEY_CLASSES_ROOT\\CLSID) in registry hives and .reg\n"
    "exports; with --system, in each ROOT (a mounted Windows volume or a collection folder of the\n"
    "same layout), for the machine and each user; with --live (Windows only), in this machine's\n"
    "registry (HKLM\\Software\\Classes and HKCU\\Software\\Classes, read only). Dirty hives are\n"
    "replayed from their logs (beside them, or given with --log) unless --no-logs. --recover\n"
    "writes a hive recovered from its logs to OUT, which must not exist. Exit code: 0 nothing\n"
    "found, 1 something found, 2 an error.\n";

struct Options {
    ScanSettings scan;
    std::string recover_to;
    bool system = false; // the files are Windows volumes or collection folders
    bool live = false;   // the running system's registry instead of files
    unsigned jobs = 0;   // ROOTs scanned at once; 0 for one per core
    std::vector<std::string> files;
};

bool parse_options(int argc, char **argv, Options &options, std::string &error) {
    bool only_files = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (only_files || arg.empty() || arg[0] != '-' || arg == "-") {
            options.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        if (arg == "--no-logs") {
            options.scan.sources.use_logs = false;
            continue;
        }
        if (arg == "--system") {
            options.system = true;
            continue;
        }
        if (arg == "--live") {
            options.live = true;
            continue;
        }
        std::string value;
        std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(EXIT_NOTHING_FOUND);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = arg + " needs a value";
            return false;
        }
        bool known = true;
        if (arg == "--rule" && value == "bare")
            options.scan.rules = {ScanRule::Bare};
        else if (arg == "--rule" && value == "name")
            options.scan.rules = {ScanRule::Name};
        else if (arg == "--rule" && value == "shadow")
            options.scan.rules = {ScanRule::Shadow};
        else if (arg == "--rule" && value == "both")
            options.scan.rules = {ScanRule::Bare, ScanRule::Name};
        else if (arg == "--rule" && value == "all")
            options.scan.rules = {ScanRule::Bare, ScanRule::Name, ScanRule::Shadow};
        else if (arg == "--format" && (value == "text" || value == "json"))
            options.scan.json = value == "json";
        else if (arg == "--encoding" && (value == "utf-8" || value == "cp932"))
            options.scan.raw_ansi = value == "cp932";
        else if (arg == "--codepage" && (value == "932" || value == "1252"))
            options.scan.sources.code_page = static_cast<unsigned>(std::stoul(value));
        else if (arg == "--view" && value == "64")
            options.scan.views = {ScanView::Bits64};
        else if (arg == "--view" && value == "32")
            options.scan.views = {ScanView::Bits32};
        else if (arg == "--view" && value == "both")
            options.scan.views = {ScanView::Bits64, ScanView::Bits32};
        else if (arg == "--log")
            options.scan.sources.log_files.push_back(value);
        else if (arg == "--recover")
            options.recover_to = value;
        else if (arg == "--jobs" && !value.empty() && value.size() < 5 &&
                 value.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoul(value) > 0)
            options.jobs = static_cast<unsigned>(std::stoul(value));
        else
            known = false;
        if (!known) {
            bool is_option = arg == "--rule" || arg == "--format" || arg == "--encoding" ||
                             arg == "--codepage" || arg == "--view" || arg == "--jobs";
            error = is_option ? "unknown value for " + arg + ": " + value : "unknown option " + arg;
            return false;
        }
    }
    if (options.live && (options.system || !options.recover_to.empty())) {
        error = "--live reads this machine's registry and goes with neither --system nor --recover";
        return false;
    }
    if (options.live && !options.files.empty()) {
        error = "--live takes no SOURCE: it reads this machine's registry";
        return false;
    }
    if (options.files.empty() && !options.live) {
        error = "no source given";
        return false;
    }
    if (!options.recover_to.empty() && (options.files.size() != 1 || options.system)) {
        error = "--recover takes exactly one hive";
        return false;
    }
    if (options.system && !options.scan.sources.log_files.empty()) {
        error = "--log names the logs of one hive; with --system each hive's logs are found "
                "beside it";
        return false;
    }
    if (!code_page_supported(options.scan.sources.code_page)) {
        error = "code page " + std::to_string(options.scan.sources.code_page) +
                " is not available (the system's conversions lack it)";
        return false;
    }
    return true;
}

void print_notes(const std::vector<std::string> &notes) {
    for (const std::string &note : notes)
        std::fprintf(stderr, "clsid-scan: %s\n", note.c_str());
}

int fail(const std::string &error) {
    std::fprintf(stderr, "clsid-scan: %s\n", error.c_str());
    return EXIT_ERROR;
}

bool write_all(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// --recover: the one time clsid-scan writes a file, and never over an existing one.
int recover_command(const Options &options) {
    const std::string &hive = options.files[0];
    SourceFile image;
    HiveLogsOutcome logs;
    std::vector<SourceOptions> sources;
    std::string error;
    if (!match_logs_to_sources(options.files, options.scan.sources, sources, error) ||
        !load_hive_image(hive, sources[0], image, logs, error))
        return fail(error);
    // Each error is one line: what the logs did is told only once the hive is written.
    if (logs.state == "not recovered")
        return fail(hive + ": not written to " + options.recover_to + ": " + logs.summary);
    int fd = open(options.recover_to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0644);
    if (fd < 0)
        return fail(options.recover_to + ": " + std::strerror(errno) +
                    (errno == EEXIST ? " (clsid-scan does not overwrite files)" : ""));
    bool written = write_all(fd, image.bytes());
    int saved = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        unlink(options.recover_to.c_str());
        return fail(options.recover_to + ": " + std::strerror(saved));
    }
    print_notes({logs.note});
    std::fprintf(stderr, "clsid-scan: %s: %s hive written to %s\n", hive.c_str(),
                 logs.state == "recovered" ? "recovered" : "clean", options.recover_to.c_str());
    return EXIT_NOTHING_FOUND;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        std::fprintf(stderr, "clsid-scan: %s\n%s", error.c_str(), USAGE);
        return EXIT_ERROR;
    }
    if (!options.recover_to.empty())
        return recover_command(options);
    if (options.system)
        return run_system_scan(options.files, options.scan, options.jobs);

    // The registry trees stay until the process ends, reachable from here: the system takes
    // their memory back at once, where freeing a hundred thousand keys one by one would cost a
    // tenth of a large scan.
    static ClassesSides *const kept_sides = new ClassesSides;
    ClassesSides &sides = *kept_sides;
    if (options.live) {
        std::vector<std::string> notes;
        bool read = add_live_sources(sides, notes, error);
        print_notes(notes);
        if (!read)
            return fail(error);
    }
    // Each --log goes to the one hive it belongs to.
    std::vector<SourceOptions> sources;
    if (!match_logs_to_sources(options.files, options.scan.sources, sources, error))
        return fail(error);
    for (std::size_t i = 0; i < options.files.size(); i++) {
        const std::string &file = options.files[i];
        std::vector<std::string> notes;
        bool loaded = load_source(sides, file, sources[i], notes, error);
        print_notes(notes);
        if (!loaded)
            return fail(error);
    }
    bool shadow = std::find(options.scan.rules.begin(), options.scan.rules.end(),
                            ScanRule::Shadow) != options.scan.rules.end();
    if (shadow && !(sides.has_machine && sides.has_user))
        print_notes({std::string("the shadow rule needs machine and user sources; it has only ") +
                     (sides.has_machine ? "machine" : "user") + " ones and lists nothing"});
    static ViewScan *const kept_scan = new ViewScan;
    ViewScan &scan = *kept_scan;
    if (!scan_view(sides, options.scan, scan))
        return fail("out of memory while building the report");
    bool found = false;
    for (const RuleReport &report : scan.reports)
        found = found || !report.found.empty();
    std::string out = render_reports(sides, scan.reports, options.scan, std::string(),
                                     std::string(), scan.reports.size() > 1);
    if (!write_all(STDOUT_FILENO, out))
        return fail(std::string("standard output: ") + std::strerror(errno));
    return found ? EXIT_FOUND : EXIT_NOTHING_FOUND;
}
