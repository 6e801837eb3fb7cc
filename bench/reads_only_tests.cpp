// Class tests that make the same registry reads as the two rules but never write to the report.
#include "bench/reads_only_tests.h"

#include <cstring>

namespace {

// The size of a braced identifier with its NUL, as the bare-server rule wants the TypeLib value.
constexpr unsigned long BRACED_IDENTIFIER_BYTES = 39;

// Opens InprocServer32 and TypeLib into the run's handles; false at the first other subkey.
bool take_subkey_inventory(const ClassKey &cls) {
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
        close_key(*slot);
        if (reg_open_key(cls.key, name, CLASS_KEY_ACCESS, slot) != REG_SUCCESS)
            *slot = nullptr;
    }
}

bool read_only_default_string(RegKey key, char *data, unsigned long *data_bytes) {
    return key && read_default_string(key, data, data_bytes) && has_no_second_value(key);
}

// The checks decide which reads come next, so they are made as the rule makes them.
bool reads_of_bare_server(const ClassKey &cls, char *buffer) {
    RunHandles &handles = *cls.handles;
    unsigned long bytes = 0;
    return take_subkey_inventory(cls) && handles.type_lib_key &&
           read_only_default_string(cls.key, buffer, &bytes) &&
           read_only_default_string(handles.inproc_server32_key, buffer, &bytes) &&
           read_default_string(handles.type_lib_key, buffer, &bytes) &&
           bytes == BRACED_IDENTIFIER_BYTES && buffer[0] == '{' && buffer[37] == '}' &&
           has_no_second_value(handles.type_lib_key);
}

} // namespace

void bare_reads_only_test(const ClassKey &cls, ReportText &) {
    char buffer[DEFAULT_STRING_BUFFER_BYTES];
    reads_of_bare_server(cls, buffer);
    close_key(cls.handles->inproc_server32_key);
    close_key(cls.handles->type_lib_key);
}

void name_reads_only_test(const ClassKey &cls, ReportText &) {
    char buffer[DEFAULT_STRING_BUFFER_BYTES];
    unsigned long bytes = 0;
    read_default_string(cls.key, buffer, &bytes);
}
