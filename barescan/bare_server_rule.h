// The class rule of clsid-bare-scan: classes registered with only InprocServer32 and TypeLib.
#pragma once

#include "scanframe/scanframe.h"

// The size of the TypeLib default value, NUL included: a braced identifier of 38 characters.
constexpr unsigned long TYPELIB_VALUE_BYTES = 39;

// Lists the class when its key has no subkeys but InprocServer32 and TypeLib, the class key and
// both subkeys hold nothing but their unnamed default string, and the TypeLib value has the shape
// of a braced identifier. A match appends three lines (description, server path, type library)
// and an empty line. The subkey handles live in cls.handles and are closed again before return.
void bare_server_rule(const ClassKey &cls, ReportText &report);

// The rule's reads and checks without the entry: true when the class is bare, with its key name,
// description, server path and type library in `finding`. The subkeys it opens are left in
// cls.handles for the caller to close (and to look at, while they are open).
bool find_bare_server(const ClassKey &cls, ClassFinding &finding);

// Appends a bare class's entry whole, or nothing when the report cannot grow: three lines
// (description, server path, type library) and an empty line.
bool append_bare_server_entry(ReportText &report, const ClassFinding &finding);
