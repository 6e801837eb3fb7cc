// Stand-in for reading clsid-scan's JSON Lines back (--baseline, --stack) where the build has no
// JSON reader (the Windows build).
#include "clsidscan/finding_filter.h"
#include "clsidscan/stack.h"

namespace {
const char LINUX_ONLY[] = "--stack and --baseline are for the Linux build of clsid-scan: run "
                          "them where the findings of the machines are collected";
}

bool read_baselines(const std::vector<std::string> &, FindingFilter &, std::string &error) {
    error = LINUX_ONLY;
    return false;
}

int run_stack(const std::vector<std::string> &, ReportFormat, unsigned) {
    print_note(LINUX_ONLY);
    return 2;
}
