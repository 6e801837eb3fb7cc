// The walk over HKEY_CLASSES_ROOT\CLSID and the value reads that the class rules share.
#include "scanframe/scanframe.h"

void close_key(RegKey &handle) {
    if (handle) {
        reg_close_key(handle);
        handle = nullptr;
    }
}

void close_all_keys(RunHandles &handles) {
    close_key(handles.type_lib_key);
    close_key(handles.inproc_server32_key);
    close_key(handles.class_key);
    close_key(handles.clsid_key);
}

bool walk_classes(ClassRule rule, ReportText &report, RunHandles &handles) {
    if (reg_open_key(reg_classes_root(), "CLSID", CLSID_KEY_ACCESS, &handles.clsid_key) !=
        REG_SUCCESS) {
        handles.clsid_key = nullptr;
        return false;
    }
    char name[NAME_BUFFER_CHARS];
    for (unsigned long index = 0;; index++) {
        unsigned long name_chars = NAME_BUFFER_CHARS;
        // Any failure ends the walk; what was found so far is kept.
        if (reg_enum_key(handles.clsid_key, index, name, &name_chars) != REG_SUCCESS)
            break;
        if (reg_open_key(handles.clsid_key, name, CLASS_KEY_ACCESS, &handles.class_key) !=
            REG_SUCCESS) {
            handles.class_key = nullptr;
            continue;
        }
        ClassKey cls = {handles.class_key, name, &handles};
        rule(cls, report);
        close_key(handles.class_key);
    }
    return true;
}

bool read_default_string(RegKey key, char *data, unsigned long *data_bytes) {
    char value_name[NAME_BUFFER_CHARS];
    unsigned long name_chars = NAME_BUFFER_CHARS;
    unsigned long type = 0;
    *data_bytes = DATA_BUFFER_BYTES;
    RegStatus status = reg_enum_value(key, 0, value_name, &name_chars, &type,
                                      reinterpret_cast<unsigned char *>(data), data_bytes);
    if (status != REG_SUCCESS || type != VALUE_TYPE_SZ || name_chars != 0 ||
        *data_bytes > DATA_BUFFER_BYTES) {
        data[0] = '\0';
        return false;
    }
    // The stored data need not end in a NUL; the text ends where the reported bytes end.
    data[*data_bytes] = '\0';
    return true;
}

bool has_no_second_value(RegKey key) {
    char value_name[NAME_BUFFER_CHARS];
    unsigned long name_chars = NAME_BUFFER_CHARS;
    unsigned long type = 0;
    RegStatus status = reg_enum_value(key, 1, value_name, &name_chars, &type, nullptr, nullptr);
    // REG_ERROR_MORE_DATA means a value is there whose name is longer than the buffer.
    return status != REG_SUCCESS && status != REG_ERROR_MORE_DATA;
}
