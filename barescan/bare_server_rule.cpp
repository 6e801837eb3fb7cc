// The class rule of clsid-bare-scan: classes registered with only InprocServer32 and TypeLib.
#include "barescan/bare_server_rule.h"

#include <cstring>

// Opens the InprocServer32 and TypeLib subkeys into the run's handles. Returns false as soon as
// any other subkey shows up; names are compared case-sensitively, so InProcServer32 is another.
static bool take_subkey_inventory(const ClassKey &cls) {
    RunHandles &handles = *cls.handles;
    char name[NAME_BUFFER_CHARS];
    for (unsigned long index = 0;; index++) {
        unsigned long name_chars = NAME_BUFFER_CHARS;
        if (reg_enum_key(cls.key, index, name, &name_chars) != REG_SUCCESS)
            return true;
        RegKey *slot = nullptr;
        if (std::strcmp(name, "InprocServer32") == 0)
            slot = &handles.inproc_server32_key;
        else if (std::strcmp(name, "TypeLib") == 0)
            slot = &handles.type_lib_key;
        else
            return false;
        // A key that changes under the inventory can list a name twice: keep one handle only.
        close_key(*slot);
        if (reg_open_key(cls.key, name, CLASS_KEY_ACCESS, slot) != REG_SUCCESS)
            *slot = nullptr;
    }
}

// Reads the key's default string into `data` and checks that it is the key's only value.
static bool read_only_default_string(RegKey key, char *data, unsigned long *data_bytes) {
    return key && read_default_string(key, data, data_bytes) && has_no_second_value(key);
}

static bool has_braced_identifier_shape(const char *type_lib, unsigned long type_lib_bytes) {
    return type_lib_bytes == TYPELIB_VALUE_BYTES && type_lib[0] == '{' && type_lib[37] == '}';
}

bool find_bare_server(const ClassKey &cls, ClassFinding &finding) {
    RunHandles &handles = *cls.handles;
    unsigned long description_bytes = 0, server_path_bytes = 0, type_lib_bytes = 0;
    finding.key_name = cls.name;
    finding.score = 0.0;
    return take_subkey_inventory(cls) && handles.type_lib_key &&
           read_only_default_string(cls.key, finding.description, &description_bytes) &&
           read_only_default_string(handles.inproc_server32_key, finding.server_path,
                                    &server_path_bytes) &&
           read_default_string(handles.type_lib_key, finding.type_lib, &type_lib_bytes) &&
           has_braced_identifier_shape(finding.type_lib, type_lib_bytes) &&
           has_no_second_value(handles.type_lib_key);
}

bool append_bare_server_entry(ReportText &report, const ClassFinding &finding) {
    EntryLine lines[] = {{LABEL_DESCRIPTION, finding.description},
                         {LABEL_INPROC_SERVER32, finding.server_path},
                         {LABEL_TYPELIB, finding.type_lib}};
    return append_entry(report, finding.key_name, lines, 3, true);
}

void bare_server_rule(const ClassKey &cls, ReportText &report) {
    ClassFinding finding;
    if (find_bare_server(cls, finding))
        append_bare_server_entry(report, finding);
    // The next class is judged on its own subkeys alone.
    close_key(cls.handles->inproc_server32_key);
    close_key(cls.handles->type_lib_key);
}
