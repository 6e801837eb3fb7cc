// Windows implementation of the platform interface declared in platform.h.
//
// The file has two parts, and each program takes the part it calls, so that a program imports
// only the system calls it makes: SCAN_FRAME_PROGRAM_CALLS, the narrow registry, message box,
// clipboard and memory calls of the two scanner programs; SCAN_FRAME_LIVE_CALLS, the wide
// registry calls, the file calls and the code page calls of clsid-scan, which walks its in-memory
// registry through registry/platform_memory.cpp instead.
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

static_assert(FILE_ERROR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND &&
                  FILE_ERROR_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND &&
                  FILE_ERROR_ACCESS_DENIED == ERROR_ACCESS_DENIED &&
                  FILE_ERROR_SHARING_VIOLATION == ERROR_SHARING_VIOLATION,
              "file statuses are Win32's");
static_assert(FILE_KIND_DISK == FILE_TYPE_DISK, "file types");
static_assert(FILE_ATTR_FOLDER == FILE_ATTRIBUTE_DIRECTORY &&
                  FILE_ATTR_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT &&
                  FILE_ATTR_OFFLINE == FILE_ATTRIBUTE_OFFLINE,
              "file attributes");
static_assert(REPARSE_TAG_NAME_SURROGATE == 0x20000000 && IsReparseTagNameSurrogate(0x20000000),
              "name surrogate bit");
static_assert(SHA256_BYTES == 32, "SHA-256 digest");

static HANDLE to_handle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

FileError file_open_w(const char16_t *path, FileAccess access, FileReparse reparse,
                      FileHandle *result) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN;
    if (reparse == FileReparse::OpenItself)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
#ifndef _WIN64
    // Only around CreateFileW: with the redirection off, a DLL loaded on this thread would come
    // from the 64-bit System32. Where there is no WOW64 (32-bit Windows) the call fails and
    // nothing was turned off.
    void *redirection = nullptr;
    bool redirection_off = Wow64DisableWow64FsRedirection(&redirection) != FALSE;
#endif
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path),
                              access == FileAccess::Data ? GENERIC_READ : FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
#ifndef _WIN64
    if (redirection_off)
        Wow64RevertWow64FsRedirection(redirection);
#endif
    *result = file == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileHandle>(file);
    return error;
}

FileError file_query(FileHandle file, FileInformation *information) {
    *information = FileInformation{};
    SetLastError(ERROR_SUCCESS);
    DWORD kind = GetFileType(to_handle(file));
    if (kind == FILE_TYPE_UNKNOWN && GetLastError() != ERROR_SUCCESS)
        return GetLastError();
    information->kind = kind;
    if (kind != FILE_TYPE_DISK)
        return ERROR_SUCCESS;
    BY_HANDLE_FILE_INFORMATION facts;
    if (!GetFileInformationByHandle(to_handle(file), &facts))
        return GetLastError();
    information->attributes = facts.dwFileAttributes;
    information->size =
        (static_cast<unsigned long long>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow;
    information->written =
        (static_cast<unsigned long long>(facts.ftLastWriteTime.dwHighDateTime) << 32) |
        facts.ftLastWriteTime.dwLowDateTime;
    information->volume_serial = facts.dwVolumeSerialNumber;
    information->file_index =
        (static_cast<unsigned long long>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    if (facts.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (!GetFileInformationByHandleEx(to_handle(file), FileAttributeTagInfo, &tag, sizeof tag))
            return GetLastError();
        information->reparse_tag = tag.ReparseTag;
    }
    return ERROR_SUCCESS;
}

FileError file_read(FileHandle file, unsigned char *buffer, unsigned long bytes,
                    unsigned long *done) {
    DWORD read = 0;
    BOOL ok = ReadFile(to_handle(file), buffer, bytes, &read, nullptr);
    *done = read;
    return ok ? ERROR_SUCCESS : GetLastError();
}

FileError file_close(FileHandle file) {
    return CloseHandle(to_handle(file)) ? ERROR_SUCCESS : GetLastError();
}

struct Sha256HashTag {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
};

FileError sha256_begin(Sha256Hash *result) {
    *result = nullptr;
    Sha256HashTag made;
    if (!CryptAcquireContextW(&made.provider, nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return GetLastError();
    if (!CryptCreateHash(made.provider, CALG_SHA_256, 0, 0, &made.hash)) {
        DWORD error = GetLastError();
        CryptReleaseContext(made.provider, 0);
        return error;
    }
    auto *hash = static_cast<Sha256HashTag *>(std::malloc(sizeof(Sha256HashTag)));
    if (hash == nullptr) {
        CryptDestroyHash(made.hash);
        CryptReleaseContext(made.provider, 0);
        return ERROR_OUTOFMEMORY;
    }
    *hash = made;
    *result = hash;
    return ERROR_SUCCESS;
}

FileError sha256_add(Sha256Hash hash, const unsigned char *bytes, unsigned long count) {
    return CryptHashData(hash->hash, bytes, count, 0) ? ERROR_SUCCESS : GetLastError();
}

FileError sha256_end(Sha256Hash hash, unsigned char *digest) {
    DWORD size = SHA256_BYTES;
    if (!CryptGetHashParam(hash->hash, HP_HASHVAL, digest, &size, 0))
        return GetLastError();
    return size == SHA256_BYTES ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

void sha256_close(Sha256Hash hash) {
    if (hash == nullptr)
        return;
    CryptDestroyHash(hash->hash);
    CryptReleaseContext(hash->provider, 0);
    std::free(hash);
}

char16_t *environment_block_w() {
    return reinterpret_cast<char16_t *>(GetEnvironmentStringsW());
}

void environment_free_w(char16_t *block) {
    FreeEnvironmentStringsW(reinterpret_cast<wchar_t *>(block));
}

unsigned windows_folder_w(char16_t *buffer, unsigned capacity) {
    return GetSystemWindowsDirectoryW(reinterpret_cast<wchar_t *>(buffer), capacity);
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
