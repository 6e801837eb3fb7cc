// Benchmark of whole scans over the in-memory registry, from 10,000 to 1,000,000 classes.
//
// For each rule and each mix of classes it times three runs over the same registry:
//   scan/...        the whole program: scan_main with the rule's class rule;
//   walk/...        the walk alone (walk_classes with the rule's class rule), without presenting;
//   reads_only/...  the walk with a class rule that makes the same registry reads but writes
//                   nothing, so that the report's own share is visible.
// The registry is built once per rule, mix and size, outside the timed region. Counters: the
// heap the program held at its peak (heap blocks and global blocks), the report's length, the
// stand-in tree's own heap, and the page faults of one iteration.
//
// Every iteration starts with the allocator's free pages handed back to the system, so that the
// program's blocks are fresh pages that fault in on first touch, as in a single run of the
// program. Otherwise an iteration would reuse the pages that earlier iterations (or an earlier
// tree) left behind, which a small registry's report fits into and a large one's does not.
//
// Usage: scan_benchmark [--smoke] [Google Benchmark flags]
//   --smoke  the 10,000-class cases only, one iteration each: a quick check that still runs.
// Each run checks that the scan wrote exactly the report its registry calls for and left nothing
// open; on the 10,000-class registries it also checks that each reads-only test makes exactly the
// registry calls of its rule. Exits 1 when any check fails.
#include "barescan/bare_server_rule.h"
#include "bench/benchmark_registry.h"
#include "bench/reads_only_rules.h"
#include "namescan/random_name_rule.h"
#include "scanframe/scanframe.h"
#include "tests/fake_platform.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

const std::size_t SIZES[] = {10000, 100000, 1000000};

struct Case {
    Rule rule;
    Mix mix;
    std::size_t classes;
};

enum class Kind { Scan, Walk, ReadsOnly };

const char *kind_name(Kind kind) {
    return kind == Kind::Scan ? "scan" : kind == Kind::Walk ? "walk" : "reads_only";
}

bool operator==(const Case &a, const Case &b) {
    return a.rule == b.rule && a.mix == b.mix && a.classes == b.classes;
}

const char *rule_name(Rule rule) {
    return rule == Rule::Bare ? "bare" : "name";
}

const char *mix_name(Mix mix) {
    return mix == Mix::AllMatching ? "all" : "one_percent";
}

ClassRule test_of(Rule rule, bool reads_only) {
    if (rule == Rule::Bare)
        return reads_only ? bare_reads_only_rule : bare_server_rule;
    return reads_only ? name_reads_only_rule : random_name_rule;
}

// Minor page faults of the process so far: each first touch of a fresh page of memory.
long page_faults() {
    struct rusage usage;
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_minflt : 0;
}

// Hands the allocator's free pages back to the system, so the next blocks start untouched.
void release_free_pages() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Bytes the C library's allocator has handed out and not taken back.
std::size_t heap_in_use() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

// The registry calls of one scan with `test`, recorded.
std::vector<fake::Call> calls_of(ClassRule test) {
    fake::set_call_recording(true);
    fake::clear_records();
    scan_main(test);
    std::vector<fake::Call> calls = fake::registry_calls();
    fake::clear_records();
    fake::set_call_recording(false);
    return calls;
}

bool same_call(const fake::Call &a, const fake::Call &b) {
    return a.op == b.op && a.key_path == b.key_path && a.name == b.name && a.index == b.index &&
           a.access == b.access && a.name_capacity == b.name_capacity &&
           a.data_wanted == b.data_wanted && a.data_capacity == b.data_capacity &&
           a.status == b.status;
}

// Checks, on the registry the stand-in holds, that the reads-only test of `rule` makes the very
// registry calls of the rule. Returns what differs, or "".
std::string reads_mismatch(Rule rule) {
    std::vector<fake::Call> real = calls_of(test_of(rule, false));
    std::vector<fake::Call> reads = calls_of(test_of(rule, true));
    std::size_t common = std::min(real.size(), reads.size());
    std::size_t first_difference =
        std::mismatch(real.begin(), real.begin() + common, reads.begin(), same_call).first -
        real.begin();
    if (real.size() == reads.size() && first_difference == real.size())
        return std::string();
    return "the reads-only test makes " + std::to_string(reads.size()) +
           " registry calls, the rule " + std::to_string(real.size()) + "; they differ from call " +
           std::to_string(first_difference) + " on";
}

// The registry the stand-in holds, so that consecutive benchmarks on one registry build it once.
struct Built {
    bool valid = false;
    Case what{Rule::Bare, Mix::AllMatching, 0};
    RegistryFacts facts{0, 0, 0, 0};
    std::size_t tree_bytes = 0;
    std::string reads_mismatch; // checked on the smallest registries
};
Built built;

const Built &prepare(const Case &what) {
    if (built.valid && built.what == what)
        return built;
    fake::reset();
    built.valid = false;
    std::size_t before = heap_in_use();
    built.facts = build_registry(what.rule, what.mix, what.classes);
    // The tree's own size: what the allocator holds after building it, less what it held before.
    std::size_t after = heap_in_use();
    built.tree_bytes = after > before ? after - before : 0;
    built.what = what;
    built.valid = true;
    built.reads_mismatch = what.classes == SIZES[0] ? reads_mismatch(what.rule) : std::string();
    fake::set_call_recording(false);
    return built;
}

// The report as the scan showed it: the list box without its question, or nothing.
std::string shown_report() {
    const std::vector<fake::BoxShown> &boxes = fake::boxes_shown();
    if (boxes.size() != 1 || boxes[0].text == TEXT_NOTHING_FOUND)
        return std::string();
    const std::string &text = boxes[0].text;
    std::size_t question = std::strlen(TEXT_COPY_QUESTION);
    if (text.size() >= question &&
        text.compare(text.size() - question, question, TEXT_COPY_QUESTION) == 0)
        return text.substr(0, text.size() - question);
    return text;
}

bool any_failure = false;

void fail(benchmark::State &state, const std::string &why) {
    any_failure = true;
    state.SkipWithError(why.c_str());
}

// What one iteration left behind, taken from the first one outside the timed region.
struct Outcome {
    std::size_t report_bytes = 0;
    std::uint64_t report_hash = FNV_OFFSET;
    std::string trouble;
};

// What the whole program showed, after scan_main.
Outcome scan_outcome() {
    Outcome outcome;
    if (fake::boxes_shown().size() != 1)
        outcome.trouble = std::to_string(fake::boxes_shown().size()) + " message boxes shown";
    std::string report = shown_report();
    outcome.report_bytes = report.size();
    outcome.report_hash = fnv1a(FNV_OFFSET, report.data(), report.size());
    return outcome;
}

// The walk alone, with the report and the handles as the main routine keeps them.
Outcome walk_once(ClassRule test, bool check, benchmark::State &state) {
    ReportText report;
    Outcome outcome;
    if (!report_create(report)) {
        outcome.trouble = "the empty report could not be made";
        return outcome;
    }
    RunHandles handles = {nullptr, nullptr, nullptr, nullptr};
    if (!walk_classes(test, report, handles))
        outcome.trouble = "the CLSID key did not open";
    close_all_keys(handles);
    if (check) {
        state.PauseTiming();
        outcome.report_bytes = report.length;
        outcome.report_hash = fnv1a(FNV_OFFSET, report.text, report.length);
        state.ResumeTiming();
    }
    report_release(report);
    return outcome;
}

void run_case(benchmark::State &state, Case what, Kind kind) {
    const Built &registry = prepare(what);
    ClassRule test = test_of(what.rule, kind == Kind::ReadsOnly);
    std::size_t peak = 0;
    long faults = 0;
    Outcome first;
    bool checked = false;
    release_free_pages();
    for (auto _ : state) {
        fake::reset_peak();
        long faults_before = page_faults();
        Outcome outcome;
        if (kind == Kind::Scan)
            scan_main(test);
        else
            outcome = walk_once(test, !checked, state);
        state.PauseTiming();
        faults += page_faults() - faults_before;
        peak = std::max(peak, fake::peak_heap_bytes());
        if (!checked) {
            first = kind == Kind::Scan ? scan_outcome() : outcome;
            first.trouble += fake::problems();
            if (!fake::registry_calls().empty())
                first.trouble += "registry calls were recorded while recording was off\n";
            // The report's block holds the text and its NUL; the whole program also holds the
            // global block with the same bytes at the same time.
            std::size_t least =
                kind == Kind::Scan ? 2 * (first.report_bytes + 1) : first.report_bytes + 1;
            if (first.report_bytes > 0 && fake::peak_heap_bytes() < least)
                first.trouble += "peak heap of " + std::to_string(fake::peak_heap_bytes()) +
                                 " bytes, below the " + std::to_string(least) + " held\n";
            checked = true;
        }
        fake::clear_records();
        release_free_pages();
        state.ResumeTiming();
    }
    // The run must have written exactly the report the registry calls for, and left nothing open.
    bool writes = kind != Kind::ReadsOnly;
    std::size_t expected_bytes = writes ? registry.facts.report_bytes : 0;
    std::uint64_t expected_hash = writes ? registry.facts.report_hash : FNV_OFFSET;
    if (!registry.reads_mismatch.empty())
        fail(state, registry.reads_mismatch);
    else if (!first.trouble.empty())
        fail(state, first.trouble);
    else if (first.report_bytes != expected_bytes || first.report_hash != expected_hash)
        fail(state, "the report is not the expected one (" + std::to_string(first.report_bytes) +
                        " bytes, expected " + std::to_string(expected_bytes) + ")");
    state.counters["classes"] = static_cast<double>(registry.facts.classes);
    state.counters["matching"] = static_cast<double>(writes ? registry.facts.matching : 0);
    state.counters["report_bytes"] = static_cast<double>(first.report_bytes);
    state.counters["peak_heap_bytes"] = static_cast<double>(peak);
    state.counters["tree_bytes"] = static_cast<double>(registry.tree_bytes);
    state.counters["page_faults"] =
        benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
}

} // namespace

int main(int argc, char **argv) {
    bool smoke = false;
    std::vector<char *> args;
    for (int i = 0; i < argc; i++) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else
            args.push_back(argv[i]);
    }
    int arg_count = static_cast<int>(args.size());
    benchmark::Initialize(&arg_count, args.data());
    if (benchmark::ReportUnrecognizedArguments(arg_count, args.data()))
        return 1;

    // The benchmarks of one registry one after the other, so that each registry is built once.
    for (Rule rule : {Rule::Bare, Rule::Name})
        for (Mix mix : {Mix::AllMatching, Mix::OnePercent})
            for (std::size_t classes : SIZES) {
                if (smoke && classes != SIZES[0])
                    continue;
                for (Kind kind : {Kind::Scan, Kind::Walk, Kind::ReadsOnly}) {
                    std::string name = std::string(kind_name(kind)) + "/" + rule_name(rule) + "/" +
                                       mix_name(mix) + "/" + std::to_string(classes);
                    benchmark::internal::Benchmark *b = benchmark::RegisterBenchmark(
                        name.c_str(), run_case, Case{rule, mix, classes}, kind);
                    b->Unit(benchmark::kMillisecond);
                    if (smoke)
                        b->Iterations(1);
                    else
                        b->Repetitions(5);
                }
            }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return any_failure ? 1 : 0;
}
