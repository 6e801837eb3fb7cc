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

// The rule's reads and checks without the entry: true when the class is bare, with its
// description, server path and type library in the three buffers (DEFAULT_STRING_BUFFER_BYTES
// each). The subkeys it opens are left in cls.handles for the caller to close.
bool is_bare_server(const ClassKey &cls, char *description, char *server_path, char *type_lib);
