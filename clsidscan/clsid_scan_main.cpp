// clsid-scan: the class rules of clsid-bare-scan and clsid-name-scan over hives, .reg exports
// and, on Windows, the running system's registry.
#include "clsidscan/finding_files.h"
#include "clsidscan/finding_filter.h"
#include "clsidscan/scan_output.h"
#include "clsidscan/stack.h"
#include "clsidscan/system_scan.h"
#include "evidence/live_source.h"
#include "evidence/scan_sources.h"
#include "registry/code_page.h"
#include "rules/class_scan.h"
#include "rules/severity.h"

#include <CLI/CLI.hpp>

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
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_NOTHING_FOUND = 0;
constexpr int EXIT_FOUND = 1;
constexpr int EXIT_ERROR = 2;

const char SYNOPSIS[] = "usage: clsid-scan [OPTIONS] SOURCE...\n"
                        "       clsid-scan --system [--jobs N] [OPTIONS] ROOT...\n"
                        "       clsid-scan --live [OPTIONS]\n"
                        "       clsid-scan --stack [--format text|json|csv] [--jobs N] FILE...\n"
                        "       clsid-scan --recover OUT [--log FILE]... HIVE\n";

const char DESCRIPTION[] =
    "Lists suspicious class registrations (HKEY_CLASSES_ROOT\\CLSID) in registry hives and .reg\n"
    "exports; with --system, in each ROOT (a mounted Windows volume or a collection folder of the\n"
    "same layout), for the machine and each user; with --live (Windows only), in this machine's\n"
    "registry (HKLM\\Software\\Classes and HKCU\\Software\\Classes, read only). Dirty hives are\n"
    "replayed from their logs (beside them, or given with --log) unless --no-logs. --recover\n"
    "writes a hive recovered from its logs to OUT, which must not exist. --stack counts the\n"
    "findings of many machines (JSON Lines of earlier runs) by id, rarest first. After --,\n"
    "every argument is a SOURCE, even one that begins with -.\n";

const char FOOTER[] = "Exit code: 0 nothing found, 1 something found, 2 an error.\n"
                      "The manual: man clsid-scan";

// After an error, below its line.
const char HINT[] =
    "usage: clsid-scan [OPTIONS] SOURCE... (clsid-scan --help describes each option)\n";

#ifndef CLSID_SCAN_VERSION
#error "CLSID_SCAN_VERSION comes from project(VERSION) in CMakeLists.txt"
#endif
#ifdef _WIN32
const char VERSION[] = "clsid-scan " CLSID_SCAN_VERSION
                       " (Windows build: reads .reg exports and the live registry, no hives)";
#else
// libhivex has no call that tells its version: this is what pkg-config said at build time.
const char VERSION[] =
    "clsid-scan " CLSID_SCAN_VERSION " (built with libhivex " CLSID_SCAN_HIVEX_VERSION ")";
#endif

struct Options {
    ScanSettings scan;
    std::string recover_to;
    bool system = false; // the files are Windows volumes or collection folders
    bool live = false;   // the running system's registry instead of files
    bool stack = false;  // the files are JSON Lines of findings, to be counted by id
    bool verbose = false;
    std::vector<std::string> baselines, allowlists;
    unsigned jobs = 0; // ROOTs scanned at once; 0 for one per core
    std::vector<std::string> files;
};

// A value out of a fixed set of words, taken exactly as written.
CLI::Validator one_of(std::vector<std::string> words) {
    std::string listed;
    for (std::size_t i = 0; i < words.size(); i++)
        listed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return CLI::Validator(
        [words, listed](std::string &value) {
            return std::find(words.begin(), words.end(), value) != words.end()
                       ? std::string()
                       : "unknown value " + value + " (" + listed + ")";
        },
        std::string());
}

const char RULE_NAMES[] =
    "bare, name, shadow, scriptlet, treatas, abandoned, userpath, handler, known, stock, "
    "userclass, deleted";

// The rules a --rule value names, in the order of the list of rules; empty when a name is unknown.
std::vector<ScanRule> rules_named(const std::string &names) {
    const ScanRule every[] = {ScanRule::Bare,      ScanRule::Name,      ScanRule::Shadow,
                              ScanRule::Scriptlet, ScanRule::TreatAs,   ScanRule::Abandoned,
                              ScanRule::UserPath,  ScanRule::Handler,   ScanRule::Known,
                              ScanRule::Stock,     ScanRule::UserClass, ScanRule::Deleted};
    std::vector<bool> chosen(std::size(every), false);
    std::size_t start = 0;
    while (start <= names.size()) {
        std::size_t comma = std::min(names.find(',', start), names.size());
        std::string name = names.substr(start, comma - start);
        bool known = false;
        for (std::size_t i = 0; i < std::size(every); i++) {
            bool picked = name == rule_name(every[i]) || name == "all" || (name == "both" && i < 2);
            chosen[i] = chosen[i] || picked;
            known = known || picked;
        }
        if (!known)
            return {};
        start = comma + 1;
    }
    std::vector<ScanRule> rules;
    for (std::size_t i = 0; i < std::size(every); i++)
        if (chosen[i])
            rules.push_back(every[i]);
    return rules;
}

// The checks across options; an empty string when they agree.
std::string check_options(const Options &options) {
    if (options.stack && (options.system || options.live || !options.recover_to.empty()))
        return "--stack reads JSON Lines of findings and goes with neither --system, --live nor "
               "--recover";
    if (options.stack && (!options.baselines.empty() || !options.allowlists.empty()))
        return "--stack counts every finding it reads; --baseline and --allow are for scans";
    if (options.stack && options.scan.format == ReportFormat::Bodyfile)
        return "--stack prints text, json or csv";
    if (!options.recover_to.empty() && (!options.baselines.empty() || !options.allowlists.empty()))
        return "--recover scans nothing; --baseline and --allow are for scans";
    if (options.live && (options.system || !options.recover_to.empty()))
        return "--live reads this machine's registry and goes with neither --system nor --recover";
    if (!options.scan.image.empty() && (options.live || options.system))
        return "--image names the volume of plain SOURCEs; --system and --live have their own";
    if (options.live && !options.files.empty())
        return "--live takes no SOURCE: it reads this machine's registry";
    if (options.files.empty() && !options.live)
        return "no source given";
    if (!options.recover_to.empty() && (options.files.size() != 1 || options.system))
        return "--recover takes exactly one hive";
    if (options.system && !options.scan.sources.log_files.empty())
        return "--log names the logs of one hive; with --system each hive's logs are found "
               "beside it";
    if (!code_page_supported(options.scan.sources.code_page))
        return "code page " + std::to_string(options.scan.sources.code_page) +
               " is not available (the system's conversions lack it)";
    return std::string();
}

// Reads the command line into options. Returns false when the program is to end at once with
// exit_code: after --help or --version (0), or after an error, printed with a hint (2).
bool parse_options(int argc, char **argv, Options &options, int &exit_code) {
    CLI::App app(std::string(), "clsid-scan");
    app.get_formatter()->column_width(34);
    app.get_formatter()->label("Positionals", "Arguments");
    app.footer(FOOTER);
    app.set_help_flag("-h,--help", "print this help and exit");
    app.set_version_flag("--version", VERSION, "print the version (and libhivex's) and exit");
    // An option given again counts as given last, as the hand parser had it.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    // Each option's callback runs once, with its last value, and only when it is given.
    ScanSettings &scan = options.scan;
    app.add_option_function<std::string>(
           "--rule", [&scan](const std::string &rules) { scan.rules = rules_named(rules); },
           "the class rules to run, one or several joined by\n"
           "commas: bare (clsid-bare-scan's), name (clsid-name-\n"
           "scan's), shadow (a user's own server for a machine's\n"
           "class), scriptlet, treatas, abandoned, userpath,\n"
           "handler, known, stock (a machine server that is not\n"
           "stock Windows'), userclass (a user-only class served\n"
           "where the user can write), deleted (carved from free\n"
           "space); both (bare and name) or all (every rule, the\n"
           "default)")
        ->option_text("RULE[,RULE]...")
        ->check(CLI::Validator(
            [](std::string &rules) {
                return rules_named(rules).empty()
                           ? "unknown value " + rules + " (" + RULE_NAMES + ", both or all)"
                           : std::string();
            },
            std::string()));
    app.add_option_function<std::string>(
           "--min-severity",
           [&scan](const std::string &level) { parse_severity(level, scan.min_severity); },
           "print only findings at or above this severity: low\n"
           "(everything, the default), medium or high")
        ->option_text("low|medium|high")
        ->check(one_of({"low", "medium", "high"}));
    app.add_option_function<std::string>(
           "--format",
           [&scan](const std::string &format) {
               scan.format = format == "json"       ? ReportFormat::Json
                             : format == "csv"      ? ReportFormat::Csv
                             : format == "bodyfile" ? ReportFormat::Bodyfile
                                                    : ReportFormat::Text;
           },
           "text (the programs' lines, the default), json (JSON\n"
           "Lines, one object a finding), csv (a row a finding,\n"
           "for timelines and spreadsheets) or bodyfile (a line\n"
           "a finding, its key's time as mtime, for mactime)")
        ->option_text("text|json|csv|bodyfile")
        ->check(one_of({"text", "json", "csv", "bodyfile"}));
    app.add_flag("--details", scan.details,
                 "the text report gets each finding's time and server\n"
                 "file after its lines")
        ->disable_flag_override();
    app.add_option("--image", scan.image,
                   "the mounted Windows volume the SOURCEs came from:\n"
                   "each finding's server file is looked for in it")
        ->option_text("ROOT");
    app.add_option_function<std::string>(
           "--encoding",
           [&scan](const std::string &encoding) { scan.raw_ansi = encoding == "cp932"; },
           "of the text report: utf-8 (the default) or cp932\n"
           "(the bytes the programs copy to the clipboard)")
        ->option_text("utf-8|cp932")
        ->check(one_of({"utf-8", "cp932"}));
    app.add_option_function<std::string>(
           "--codepage",
           [&scan](const std::string &code_page) {
               scan.sources.code_page = static_cast<unsigned>(std::stoul(code_page));
           },
           "the ANSI code page of the narrow registry calls\n"
           "the rules see: 932 (the default) or 1252")
        ->option_text("932|1252")
        ->check(one_of({"932", "1252"}));
    app.add_option_function<std::string>(
           "--view",
           [&scan](const std::string &view) {
               if (view == "64")
                   scan.views = {Bitness::Bits64};
               else if (view == "32")
                   scan.views = {Bitness::Bits32};
               else
                   scan.views = {Bitness::Bits64, Bitness::Bits32};
           },
           "64 (CLSID), 32 (Wow6432Node\\CLSID) or both\n"
           "(the default)")
        ->option_text("64|32|both")
        ->check(one_of({"64", "32", "both"}));
    app.add_option("--log", scan.sources.log_files,
                   "a transaction log of a hive given (once for each\n"
                   "log), given to the hive it matches; a hive no --log\n"
                   "matches uses NAME.LOG1 and NAME.LOG2 beside it")
        ->option_text("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag_callback(
           "--no-logs", [&scan] { scan.sources.use_logs = false; },
           "scan dirty hives as they are, without their logs")
        ->disable_flag_override();
    app.add_flag_callback(
           "--no-deleted", [&scan] { scan.sources.carve_deleted = false; },
           "do not carve deleted class keys from hives' free\n"
           "space")
        ->disable_flag_override();
    app.add_flag("--system", options.system,
                 "each argument is a ROOT, a mounted Windows volume\n"
                 "or a collection folder laid out like one: its\n"
                 "machine and each user are scanned")
        ->disable_flag_override();
    app.add_option_function<std::string>(
           "--jobs",
           [&options](const std::string &jobs) {
               options.jobs = static_cast<unsigned>(std::stoul(jobs));
           },
           "with --system, the ROOTs scanned at once, 1 to 9999\n"
           "(the default: one a core)")
        ->option_text("N")
        ->check(CLI::Validator(
            [](std::string &jobs) {
                bool number = !jobs.empty() && jobs.size() < 5 &&
                              jobs.find_first_not_of("0123456789") == std::string::npos &&
                              std::stoul(jobs) > 0;
                return number ? std::string() : "unknown value " + jobs + " (1 to 9999)";
            },
            std::string()));
    app.add_option_function<std::string>(
           "--hash-limit",
           [&options](const std::string &bytes) { options.scan.hash_limit = std::stoull(bytes); },
           "server files larger than this are not hashed: they get\n"
           "their size, PE headers and state not-examined\n"
           "(the default: 536870912, 512 MiB)")
        ->option_text("BYTES")
        ->check(CLI::Validator(
            [](std::string &bytes) {
                bool number = !bytes.empty() && bytes.size() < 20 &&
                              bytes.find_first_not_of("0123456789") == std::string::npos;
                return number ? std::string() : "unknown value " + bytes + " (a number of bytes)";
            },
            std::string()));
    app.add_flag("--live", options.live,
                 "this machine's registry instead of files, read only\n"
                 "(Windows build only)")
        ->disable_flag_override();
    app.add_option("--baseline", options.baselines,
                   "JSON Lines of an earlier run or a known-good machine\n"
                   "(once for each file): findings whose id is in one\n"
                   "are not printed")
        ->option_text("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--allow", options.allowlists,
                   "an allowlist (once for each file): a finding id, a\n"
                   "class key with an optional server pattern, or a\n"
                   "server file's SHA-256 a line; what it names is not\n"
                   "printed")
        ->option_text("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--verbose", options.verbose, "also tell each --allow entry that matched nothing")
        ->disable_flag_override();
    app.add_flag("--stack", options.stack,
                 "each argument is a file of JSON Lines of findings\n"
                 "(from many machines): print one line per finding\n"
                 "id with the machines and users that have it,\n"
                 "rarest first")
        ->disable_flag_override();
    app.add_option("--recover", options.recover_to,
                   "write HIVE, recovered from its logs, to OUT, which\n"
                   "must not exist; scan nothing")
        ->option_text("OUT");
    app.add_option("SOURCE", options.files,
                   "a hive or .reg export (several are merged); with\n"
                   "--system a ROOT; with --recover the HIVE")
        ->option_text("...");

    std::string error;
    try {
        app.parse(argc, argv);
        error = check_options(options);
    } catch (const CLI::CallForHelp &) {
        // The forms and what the program does come first, in place of CLI11's one usage line.
        std::string help = app.help();
        help.erase(0, help.find('\n') + 1);
        std::printf("%s\n%s%s", SYNOPSIS, DESCRIPTION, help.c_str());
        exit_code = EXIT_NOTHING_FOUND;
        return false;
    } catch (const CLI::CallForVersion &version) {
        std::printf("%s\n", version.what());
        exit_code = EXIT_NOTHING_FOUND;
        return false;
    } catch (const CLI::ExtrasError &) {
        // Every argument that is no option's is a SOURCE: what is left over is unknown options.
        std::vector<std::string> left = app.remaining();
        std::string unknown = left.empty() ? std::string("?") : left.front();
        error = "unknown option " + unknown.substr(0, unknown.find('='));
    } catch (const CLI::ArgumentMismatch &mismatch) {
        // An option that takes a value given last, without one, or a flag given a value.
        std::string what = mismatch.what(); // "--rule: 1 required ...", "live was given ..."
        std::string name = what.substr(0, what.find_first_of(": "));
        const CLI::Option *option = app.get_option_no_throw(name);
        if (option == nullptr)
            option = app.get_option_no_throw("--" + name);
        if (option == nullptr)
            error = what;
        else
            error = option->get_name() +
                    (option->get_items_expected_max() == 0 ? " takes no value" : " needs a value");
    } catch (const CLI::Error &failure) {
        error = failure.what();
    }
    if (!error.empty()) {
        print_note(error); // made printable: it may quote any argument
        std::fputs(HINT, stderr);
        exit_code = EXIT_ERROR;
        return false;
    }
    return true;
}

void print_notes(const std::vector<std::string> &notes) {
    for (const std::string &note : notes)
        print_note(note);
}

int fail(const std::string &error) {
    print_note(error);
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
    print_note(logs.note);
    print_note(hive + ": " + (logs.state == "recovered" ? "recovered" : "clean") +
               " hive written to " + options.recover_to);
    return EXIT_NOTHING_FOUND;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Options options;
    int exit_code = EXIT_NOTHING_FOUND;
    if (!parse_options(argc, argv, options, exit_code))
        return exit_code;
    std::string error;
    if (!options.recover_to.empty())
        return recover_command(options);
    if (options.stack)
        return run_stack(options.files, options.scan.format, options.jobs);
    FindingFilter filter;
    if (!options.baselines.empty() || !options.allowlists.empty()) {
        if (!read_baselines(options.baselines, filter, error) ||
            !read_allowlists(options.allowlists, filter, error))
            return fail(error);
        options.scan.filter = &filter;
    }
    if (options.system) {
        int code = run_system_scan(options.files, options.scan, options.jobs);
        print_notes(filter_summary(filter, options.verbose));
        return code;
    }

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
        print_notes({std::string("the shadow rule needs machine and user sources; it has ") +
                     (sides.has_machine ? "only machine ones"
                      : sides.has_user  ? "only user ones"
                                        : "neither") +
                     " and lists nothing"});
    // The files the classes name: the live machine's own, or those of the volume the sources
    // came from; without either, paths are still expanded with Windows' defaults.
    std::unique_ptr<VolumeFiles> volume;
    Environment environment = machine_environment();
    if (options.live) {
        // The variables of this user's session, and the drive of the running Windows.
        std::string why;
        if (!live_environment(environment, why))
            print_notes({why + "; Windows' default variables are used"});
        volume = std::make_unique<VolumeFiles>(std::string(1, volume_drive(environment)) + ":");
    } else if (!options.scan.image.empty()) {
        volume = std::make_unique<VolumeFiles>(options.scan.image);
        if (volume->ok()) {
            std::vector<std::string> notes;
            environment = image_environment(options.scan.image, *volume, options.files, notes);
            if (std::string note = triage_note(*volume, options.scan.image); !note.empty())
                notes.push_back(note);
            print_notes(notes);
        }
    }
    if (volume && !volume->ok())
        return fail(volume->error());
    if (volume)
        volume->set_hash_limit(options.scan.hash_limit);
    if (!volume && std::find(options.scan.rules.begin(), options.scan.rules.end(),
                             ScanRule::Abandoned) != options.scan.rules.end())
        print_notes({"the abandoned rule needs the server files (--image ROOT, or --system); it "
                     "lists nothing"});
    // What the hives given make Windows load: a user's hive is read for both kinds it can be.
    std::vector<ClassLoader> loaders;
    for (const ScanSource &source : sides.sources) {
        if (source.hive_state.empty())
            continue; // .reg exports and the live registry: not read for references
        std::vector<HiveKind> kinds = {HiveKind::Software};
        if (source.side == ClassesSide::User)
            kinds = {HiveKind::NtUser, HiveKind::UserClasses};
        for (HiveKind kind : kinds)
            if (!read_hive_loaders(source.file, kind, loaders, error))
                print_notes({error + "; what it makes Windows load is not known"});
    }
    ClassLoaderIndex loader_index = index_loaders(std::move(loaders));
    static ViewScan *const kept_scan = new ViewScan;
    ViewScan &scan = *kept_scan;
    if (!scan_view(sides, options.scan, scan, {volume.get(), &environment, &loader_index}))
        return fail("out of memory while building the report");
    finish_findings(scan.reports, volume.get(), environment, options.scan.min_severity);
    if (options.scan.filter)
        filter_findings(*options.scan.filter, sides, scan.reports, environment);
    bool found = false;
    for (const RuleReport &report : scan.reports)
        found = found || !report.found.empty();
    std::string out = options.scan.format == ReportFormat::Csv ? CSV_HEADER : "";
    out += render_reports(sides, scan.reports, options.scan,
                          ReportScope{std::string(), std::nullopt, &environment},
                          scan.reports.size() > 1);
    if (!write_all(STDOUT_FILENO, out))
        return fail(std::string("standard output: ") + std::strerror(errno));
    print_notes(filter_summary(filter, options.verbose));
    print_notes(cut_notes({&scan.reports}, environment, options.scan.image));
    std::vector<std::string> unreadable = unreadable_notes({&scan.reports}, options.scan.image);
    print_notes(unreadable);
    if (!unreadable.empty())
        return EXIT_ERROR;
    return found ? EXIT_FOUND : EXIT_NOTHING_FOUND;
}
