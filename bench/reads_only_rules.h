// Class rules that make the same registry reads as the two rules but never write to the report.
//
// A walk with one of these costs what the registry reads of a scan cost; the difference to the
// real scan is the report's own share (and, for the random-name rule, the scoring).
#pragma once

#include "scanframe/scanframe.h"

// The reads of the bare-server rule, call for call: the subkey inventory, then the value reads
// and checks in the rule's order, stopping where the rule stops. The subkeys it opens are closed
// again before it returns.
void bare_reads_only_rule(const ClassKey &cls, ReportText &report);

// The read of the random-name rule: the class key's default string, nothing else.
void name_reads_only_rule(const ClassKey &cls, ReportText &report);
