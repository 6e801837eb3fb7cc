// The class rule of clsid-name-scan: classes whose description looks like a made-up word.
#pragma once

#include "scanframe/scanframe.h"

// Lists the class when its unnamed default REG_SZ is one capitalised word whose letter-pair score
// is above SCORE_THRESHOLD. A match appends one line, with no empty line after it. Other values
// and subkeys of the class do not matter.
void random_name_rule(const ClassKey &cls, ReportText &report);

// The rule's read and checks without the entry: true when the class's description is a random
// name, with its key name, description and score in `finding`.
bool find_random_name(const ClassKey &cls, ClassFinding &finding);

// Appends a random-name class's line, or nothing when the report cannot grow.
bool append_random_name_entry(ReportText &report, const ClassFinding &finding);
