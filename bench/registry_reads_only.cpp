// Windows helper for timing: the walk and registry reads of clsid-bare-scan, then exit.
//
// Same walk, same calls and same reads as the bare-server scan, with a class rule that writes
// nothing, and no report, message box or clipboard: timed against the real program, it shows
// what the program adds to its registry reads.
#include "bench/reads_only_rules.h"
#include "scanframe/program_entry.h"

int PROGRAM_ENTRY_CALL WinMain(HINSTANCE__ *, HINSTANCE__ *, char *, int) {
    ReportText report;
    if (!report_create(report))
        return 0;
    RunHandles handles = {nullptr, nullptr, nullptr, nullptr};
    walk_classes(bare_reads_only_rule, report, handles);
    close_all_keys(handles);
    report_release(report);
    return 0;
}
