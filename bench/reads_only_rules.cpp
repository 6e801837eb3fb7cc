// Class rules that make the same registry reads as the two rules but never write to the report.
#include "bench/reads_only_rules.h"

#include "barescan/bare_server_rule.h"

void bare_reads_only_rule(const ClassKey &cls, ReportText &) {
    ClassFinding finding;
    find_bare_server(cls, finding);
    close_key(cls.handles->inproc_server32_key);
    close_key(cls.handles->type_lib_key);
}

void name_reads_only_rule(const ClassKey &cls, ReportText &) {
    char buffer[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long bytes = 0;
    read_default_string(cls.key, buffer, &bytes);
}
