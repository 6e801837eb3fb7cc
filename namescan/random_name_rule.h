// The class rule of clsid-name-scan: classes whose description looks like a made-up word.
#pragma once

#include "scanframe/scanframe.h"

// Lists the class when its unnamed default REG_SZ is one capitalised word whose letter-pair score
// is above SCORE_THRESHOLD. A match appends one line, with no empty line after it. Other values
// and subkeys of the class do not matter.
void random_name_rule(const ClassKey &cls, ReportText &report);
