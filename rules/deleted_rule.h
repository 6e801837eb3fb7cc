// The deleted rule: class registrations carved from free space that a hijack would leave behind.
#pragma once

#include "classes/deleted_classes.h"
#include "rules/class_scan.h"
#include "rules/hijack_rules.h"

#include <vector>

// Lists, over `view` (the merged view with `recovered` put back), each recovered class whose
// class key or server subkey (InprocServer32, LocalServer32) was deleted from the user's classes,
// or from the machine's when its server lies where a standard user can write. An entry is the
// description line, the server and a line saying what was deleted from which side, in which
// image. The class's other deleted subkeys are judged by the other rules alone.
RuleReport scan_deleted_classes(const MemoryRegistry &view, Bitness which,
                                const std::vector<RecoveredClass> &recovered,
                                const ViewEnvironments &environments);
