// A class rule for exercising the frame: it lists every class whose description can be read.
#pragma once

#include "scanframe/scanframe.h"

// Appends one line, "HKEY_CLASSES_ROOT\CLSID\" + key name + 15 spaces and TAB + description +
// LF, for each class whose default value read_default_string accepts.
void list_every_description(const ClassKey &cls, ReportText &report);
