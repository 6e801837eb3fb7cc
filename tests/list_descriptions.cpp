// A class rule for exercising the frame: it lists every class whose description can be read.
#include "tests/list_descriptions.h"

void list_every_description(const ClassKey &cls, ReportText &report) {
    char description[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long description_bytes = 0;
    if (!read_default_string(cls.key, description, &description_bytes))
        return;
    EntryLine line = {LABEL_DESCRIPTION, description};
    append_entry(report, cls.name, &line, 1, false);
}
