// The class rule of clsid-name-scan: classes whose description looks like a made-up word.
#include "namescan/random_name_rule.h"

#include "namescan/letter_pair_score.h"
#include "namescan/random_name.h"

bool find_random_name(const ClassKey &cls, ClassFinding &finding) {
    unsigned long description_bytes = 0;
    finding.key_name = cls.name;
    finding.server_path[0] = finding.type_lib[0] = '\0';
    if (!read_default_string(cls.key, finding.description, &description_bytes) ||
        !is_capitalized_word(finding.description))
        return false;
    finding.score = letter_pair_score(finding.description);
    return finding.score > SCORE_THRESHOLD;
}

bool append_random_name_entry(ReportText &report, const ClassFinding &finding) {
    EntryLine line = {LABEL_DESCRIPTION, finding.description};
    return append_entry(report, finding.key_name, &line, 1, false);
}

void random_name_rule(const ClassKey &cls, ReportText &report) {
    ClassFinding finding;
    if (find_random_name(cls, finding))
        append_random_name_entry(report, finding);
}
