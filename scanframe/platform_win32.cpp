// Windows implementation of the platform interface declared in platform.h.
//
// The file has two parts, and each program takes the part it calls, so that a program imports
// only the system calls it makes: SCAN_FRAME_PROGRAM_CALLS, the narrow registry, message box,
// clipboard and memory calls of the two scanner programs; SCAN_FRAME_LIVE_CALLS, the wide
// registry calls and the code page calls of clsid-scan, which walks its in-memory registry
// through registry/platform_memory.cpp instead.
#include "scanframe/platform.h"

#include <windows.h>

#include <cstdlib>

static_assert(REG_SUCCESS == ERROR_SUCCESS, "status codes are Win32's");
static_assert(REG_ERROR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND, "status codes are Win32's");
static_assert(REG_ERROR_ACCESS_DENIED == ERROR_ACCESS_DENIED, "status codes are Win32's");
static_assert(REG_ERROR_OUTOFMEMORY == ERROR_OUTOFMEMORY, "status codes are Win32's");
static_assert(REG_ERROR_MORE_DATA == ERROR_MORE_DATA, "status codes are Win32's");
static_assert(REG_ERROR_NO_MORE_ITEMS == ERROR_NO_MORE_ITEMS, "status codes are Win32's");
static_assert(REG_ERROR_KEY_DELETED == ERROR_KEY_DELETED, "status codes are Win32's");
static_assert(ACCESS_QUERY_VALUE == KEY_QUERY_VALUE, "access rights are Win32's");
static_assert(ACCESS_ENUMERATE_SUB_KEYS == KEY_ENUMERATE_SUB_KEYS, "access rights are Win32's");
static_assert(ACCESS_NOTIFY == KEY_NOTIFY && ACCESS_READ_CONTROL == READ_CONTROL, "access rights");
static_assert(ACCESS_WOW64_64KEY == KEY_WOW64_64KEY && ACCESS_WOW64_32KEY == KEY_WOW64_32KEY,
              "registry views");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "WCHAR is a UTF-16 unit");
static_assert(VALUE_TYPE_SZ == REG_SZ && VALUE_TYPE_EXPAND_SZ == REG_EXPAND_SZ, "value types");
static_assert(BOX_OK == MB_OK && BOX_YESNO_DEFAULT_NO == (MB_YESNO | MB_DEFBUTTON2), "styles");
static_assert(BOX_ANSWER_YES == IDYES, "the Yes answer");
static_assert(GLOBAL_MOVEABLE_SHARE == (GMEM_MOVEABLE | GMEM_DDESHARE), "global block flags");
static_assert(CLIPBOARD_FORMAT_OEMTEXT == CF_OEMTEXT, "clipboard format");

#ifdef SCAN_FRAME_LIVE_CALLS

static HKEY to_hkey(WideRegKey key) {
    return reinterpret_cast<HKEY>(key);
}

WideRegKey reg_local_machine_w() {
    return reinterpret_cast<WideRegKey>(HKEY_LOCAL_MACHINE);
}

WideRegKey reg_current_user_w() {
    return reinterpret_cast<WideRegKey>(HKEY_CURRENT_USER);
}

RegStatus reg_open_key_w(WideRegKey parent, const char16_t *name, unsigned long access,
                         WideRegKey *result) {
    HKEY opened = nullptr;
    LONG status =
        RegOpenKeyExW(to_hkey(parent), reinterpret_cast<const wchar_t *>(name), 0, access, &opened);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<WideRegKey>(opened) : nullptr;
    return status;
}

RegStatus reg_enum_key_w(WideRegKey key, unsigned long index, char16_t *name,
                         unsigned long *name_chars) {
    DWORD chars = *name_chars;
    LONG status = RegEnumKeyExW(to_hkey(key), index, reinterpret_cast<wchar_t *>(name), &chars,
                                nullptr, nullptr, nullptr, nullptr);
    *name_chars = chars;
    return status;
}

RegStatus reg_query_key_time_w(WideRegKey key, unsigned long long *written) {
    FILETIME time = {};
    LONG status = RegQueryInfoKeyW(to_hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, &time);
    *written = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return status;
}

RegStatus reg_enum_value_w(WideRegKey key, unsigned long index, char16_t *name,
                           unsigned long *name_chars, unsigned long *type, unsigned char *data,
                           unsigned long *data_bytes) {
    DWORD chars = *name_chars;
    DWORD value_type = 0;
    DWORD bytes = data_bytes ? *data_bytes : 0;
    LONG status = RegEnumValueW(to_hkey(key), index, reinterpret_cast<wchar_t *>(name), &chars,
                                nullptr, &value_type, data, data_bytes ? &bytes : nullptr);
    *name_chars = chars;
    if (type)
        *type = value_type;
    if (data_bytes)
        *data_bytes = bytes;
    return status;
}

RegStatus reg_close_key_w(WideRegKey key) {
    return RegCloseKey(to_hkey(key));
}

bool code_page_installed(unsigned code_page) {
    return IsValidCodePage(code_page) != FALSE;
}

unsigned code_page_encode_unit(unsigned code_page, char16_t unit, char bytes[2]) {
    wchar_t in = static_cast<wchar_t>(unit);
    char out[4];
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, &in, 1, out, sizeof out, nullptr,
                                &used_default);
    if ((n != 1 && n != 2) || used_default)
        return 0;
    bytes[0] = out[0];
    bytes[1] = n == 2 ? out[1] : '\0';
    return static_cast<unsigned>(n);
}

bool code_page_decode_unit(unsigned code_page, const char *bytes, unsigned count, char16_t *unit) {
    wchar_t out[2];
    if (count < 1 || count > 2 ||
        MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(count), out,
                            2) != 1)
        return false;
    *unit = static_cast<char16_t>(out[0]);
    return true;
}

#endif // SCAN_FRAME_LIVE_CALLS

#ifdef SCAN_FRAME_PROGRAM_CALLS

static HKEY to_hkey(RegKey key) {
    return reinterpret_cast<HKEY>(key);
}
static HGLOBAL to_hglobal(GlobalBlock block) {
    return reinterpret_cast<HGLOBAL>(block);
}

RegKey reg_classes_root() {
    return reinterpret_cast<RegKey>(HKEY_CLASSES_ROOT);
}

RegStatus reg_open_key(RegKey parent, const char *name, unsigned long access, RegKey *result) {
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(to_hkey(parent), name, 0, access, &opened);
    *result = reinterpret_cast<RegKey>(opened);
    return status;
}

RegStatus reg_enum_key(RegKey key, unsigned long index, char *name, unsigned long *name_chars) {
    DWORD chars = *name_chars;
    LONG status =
        RegEnumKeyExA(to_hkey(key), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    *name_chars = chars;
    return status;
}

RegStatus reg_enum_value(RegKey key, unsigned long index, char *name, unsigned long *name_chars,
                         unsigned long *type, unsigned char *data, unsigned long *data_bytes) {
    DWORD chars = *name_chars;
    DWORD value_type = 0;
    DWORD bytes = data_bytes ? *data_bytes : 0;
    LONG status = RegEnumValueA(to_hkey(key), index, name, &chars, nullptr, &value_type, data,
                                data_bytes ? &bytes : nullptr);
    *name_chars = chars;
    if (type)
        *type = value_type;
    if (data_bytes)
        *data_bytes = bytes;
    return status;
}

RegStatus reg_close_key(RegKey key) {
    return RegCloseKey(to_hkey(key));
}

int message_box(const char *text, const char *caption, unsigned style) {
    return MessageBoxA(nullptr, text, caption, style);
}

GlobalBlock global_alloc(unsigned flags, std::size_t bytes) {
    return reinterpret_cast<GlobalBlock>(GlobalAlloc(flags, bytes));
}

void *global_lock(GlobalBlock block) {
    return GlobalLock(to_hglobal(block));
}

void global_unlock(GlobalBlock block) {
    GlobalUnlock(to_hglobal(block));
}

GlobalBlock global_free(GlobalBlock block) {
    return reinterpret_cast<GlobalBlock>(GlobalFree(to_hglobal(block)));
}

bool clipboard_open() {
    return OpenClipboard(nullptr) != FALSE;
}

bool clipboard_empty() {
    return EmptyClipboard() != FALSE;
}

bool clipboard_set_data(unsigned format, GlobalBlock block) {
    return SetClipboardData(format, to_hglobal(block)) != nullptr;
}

bool clipboard_close() {
    return CloseClipboard() != FALSE;
}

void *heap_alloc(std::size_t bytes) {
    return std::malloc(bytes);
}

void *heap_realloc(void *block, std::size_t bytes) {
    return std::realloc(block, bytes);
}

void heap_free(void *block) {
    std::free(block);
}

#endif // SCAN_FRAME_PROGRAM_CALLS
