// Class rules that make the same registry reads as the two rules but never write to the report.
#include "bench/reads_only_rules.h"

#include "barescan/bare_server_rule.h"

void bare_reads_only_rule(const ClassKey &cls, ReportText &) {
    char description[DEFAULT_STRING_BUFFER_BYTES];
    char server_path[DEFAULT_STRING_BUFFER_BYTES];
    char type_lib[DEFAULT_STRING_BUFFER_BYTES];
    is_bare_server(cls, description, server_path, type_lib);
    close_key(cls.handles->inproc_server32_key);
    close_key(cls.handles->type_lib_key);
}

void name_reads_only_rule(const ClassKey &cls, ReportText &) {
    char buffer[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long bytes = 0;
    read_default_string(cls.key, buffer, &bytes);
}
