// The class rule of clsid-name-scan: classes whose description looks like a made-up word.
#include "namescan/random_name_rule.h"

#include "namescan/random_name.h"

void random_name_rule(const ClassKey &cls, ReportText &report) {
    char description[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long description_bytes = 0;
    if (!read_default_string(cls.key, description, &description_bytes))
        return;
    if (!is_random_name(description))
        return;
    EntryLine line = {LABEL_DESCRIPTION, description};
    append_entry(report, cls.name, &line, 1, false);
}
