// The platform interface: every registry, file, message-box, clipboard, memory and code page call
// of the scanners.
//
// Each operation keeps the shape of the Win32 call it stands for (status codes, capacities that
// the call updates, ERROR_MORE_DATA), so that the call sequence the scan depends on stays visible
// and testable. One implementation per platform is chosen at link time: platform_win32.cpp for
// the programs, the in-memory stand-in under tests/ for the unit tests. clsid-scan walks an
// in-memory registry through the ANSI calls (registry/platform_memory.cpp) and reads the
// system's registry through the wide calls below, which have handles of their own for that.
#pragma once

#include <cstddef>

// An open registry key; NULL when nothing is open.
typedef struct RegKeyHandle *RegKey;
// A movable global memory block; NULL when nothing is held.
typedef struct GlobalBlockHandle *GlobalBlock;

// Registry statuses are plain Win32 error codes: 0 is success, anything else is failure. The
// scan tests them only against REG_SUCCESS; the others are named for the stand-in and the tests.
typedef long RegStatus;
constexpr RegStatus REG_SUCCESS = 0;
constexpr RegStatus REG_ERROR_FILE_NOT_FOUND = 2;
constexpr RegStatus REG_ERROR_ACCESS_DENIED = 5;
constexpr RegStatus REG_ERROR_OUTOFMEMORY = 14;
constexpr RegStatus REG_ERROR_MORE_DATA = 234;
constexpr RegStatus REG_ERROR_NO_MORE_ITEMS = 259;
constexpr RegStatus REG_ERROR_KEY_DELETED = 1018;

// Access rights, handed through to the open call untouched (KEY_QUERY_VALUE and
// KEY_ENUMERATE_SUB_KEYS). The scan never asks for any right to write.
constexpr unsigned long ACCESS_QUERY_VALUE = 0x0001;
constexpr unsigned long ACCESS_ENUMERATE_SUB_KEYS = 0x0008;

// The rest of KEY_READ (KEY_NOTIFY and READ_CONTROL), and the registry views a key may be opened
// in (KEY_WOW64_64KEY and KEY_WOW64_32KEY): the only other bits the wide open call may be given.
constexpr unsigned long ACCESS_NOTIFY = 0x0010;
constexpr unsigned long ACCESS_READ_CONTROL = 0x00020000;
constexpr unsigned long ACCESS_WOW64_64KEY = 0x0100;
constexpr unsigned long ACCESS_WOW64_32KEY = 0x0200;

// Value types (REG_SZ and REG_EXPAND_SZ).
constexpr unsigned long VALUE_TYPE_SZ = 1;
constexpr unsigned long VALUE_TYPE_EXPAND_SZ = 2;

// Message box styles and the answer that means Yes (MB_OK, MB_YESNO | MB_DEFBUTTON2, IDYES).
constexpr unsigned BOX_OK = 0x0000;
constexpr unsigned BOX_YESNO_DEFAULT_NO = 0x0104;
constexpr int BOX_ANSWER_YES = 6;

// GMEM_MOVEABLE | GMEM_DDESHARE, and the clipboard format CF_OEMTEXT.
constexpr unsigned GLOBAL_MOVEABLE_SHARE = 0x2002;
constexpr unsigned CLIPBOARD_FORMAT_OEMTEXT = 7;

// The predefined key HKEY_CLASSES_ROOT.
RegKey reg_classes_root();

// RegOpenKeyExA: opens the subkey `name` of `parent` with the `access` mask; on success stores
// the new handle in *result, which the caller must close with reg_close_key.
RegStatus reg_open_key(RegKey parent, const char *name, unsigned long access, RegKey *result);

// RegEnumKeyExA without class or time: the name of the subkey at `index`. *name_chars is the
// capacity of `name` in characters on entry and the length without the NUL on success; a name
// that does not fit gives REG_ERROR_MORE_DATA, and the end of the list REG_ERROR_NO_MORE_ITEMS.
RegStatus reg_enum_key(RegKey key, unsigned long index, char *name, unsigned long *name_chars);

// RegEnumValueA: the name, type and data of the value at `index`. *name_chars is as for
// reg_enum_key. `data` may be NULL, and then `data_bytes` may be NULL too; otherwise
// *data_bytes is the capacity of `data` on entry and the size the registry holds on return.
// Data larger than the capacity gives REG_ERROR_MORE_DATA. String data comes back exactly as
// stored: it may lack a terminating NUL, notably when it fills the buffer exactly.
RegStatus reg_enum_value(RegKey key, unsigned long index, char *name, unsigned long *name_chars,
                         unsigned long *type, unsigned char *data, unsigned long *data_bytes);

// RegCloseKey.
RegStatus reg_close_key(RegKey key);

// ---------------------------------------------------------------------------------------------
// The system's registry read in UTF-16 (the wide calls), for clsid-scan --live. Text comes back
// exactly as stored, without any code page in between. There is no call that writes.

// An open key of the wide calls; NULL when nothing is open. Never mixed with RegKey handles.
typedef struct WideRegKeyHandle *WideRegKey;

// The predefined keys HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. They need no closing.
WideRegKey reg_local_machine_w();
WideRegKey reg_current_user_w();

// RegOpenKeyExW: opens the subkey `name` (NUL-terminated, parts joined by '\') of `parent` with
// the `access` mask, which holds read rights only, plus at most one of ACCESS_WOW64_64KEY and
// ACCESS_WOW64_32KEY; on success stores the new handle in *result, which the caller must close
// with reg_close_key_w.
RegStatus reg_open_key_w(WideRegKey parent, const char16_t *name, unsigned long access,
                         WideRegKey *result);

// RegEnumKeyExW without class or time, as reg_enum_key: *name_chars is the capacity of `name` in
// characters on entry and the length without the NUL on success; REG_ERROR_MORE_DATA when the
// name does not fit, REG_ERROR_NO_MORE_ITEMS past the last subkey.
RegStatus reg_enum_key_w(WideRegKey key, unsigned long index, char16_t *name,
                         unsigned long *name_chars);

// RegEnumValueW, as reg_enum_value: `data` may be NULL, and then `data_bytes` may be NULL too.
// Data larger than *data_bytes gives REG_ERROR_MORE_DATA with the size needed in *data_bytes.
// String data comes back as the UTF-16LE bytes stored, terminated or not.
RegStatus reg_enum_value_w(WideRegKey key, unsigned long index, char16_t *name,
                           unsigned long *name_chars, unsigned long *type, unsigned char *data,
                           unsigned long *data_bytes);

// RegQueryInfoKeyW's last write time of the open `key`: a FILETIME (100 ns units since 1601,
// UTC) in *written.
RegStatus reg_query_key_time_w(WideRegKey key, unsigned long long *written);

// RegCloseKey for a handle of the wide calls.
RegStatus reg_close_key_w(WideRegKey key);

// ---------------------------------------------------------------------------------------------
// The running system's files, for clsid-scan --live: a file opened by its UTF-16 path, queried,
// read and hashed, and the process's environment and Windows folder. There is no call that
// writes or sets a file's times (a read still updates the last access time where the volume
// keeps it, as any reader's does).

// Statuses of the file calls are plain Win32 error codes too: 0 is success.
typedef unsigned long FileError;
constexpr FileError FILE_SUCCESS = 0;
constexpr FileError FILE_ERROR_FILE_NOT_FOUND = 2;
constexpr FileError FILE_ERROR_PATH_NOT_FOUND = 3;
constexpr FileError FILE_ERROR_ACCESS_DENIED = 5;
constexpr FileError FILE_ERROR_SHARING_VIOLATION = 32;

// An open file of the file calls; NULL when nothing is open.
typedef struct FileHandleTag *FileHandle;

// What file_open_w opens a file for: its attributes alone (FILE_READ_ATTRIBUTES, which the folder
// holding it grants to whoever may list that folder), or its data too (GENERIC_READ).
enum class FileAccess { Attributes, Data };
// What file_open_w does with a reparse point at the path's last name: opens the reparse point
// itself (FILE_FLAG_OPEN_REPARSE_POINT: a link is not followed, a filter's file gives its raw
// stream), or hands it to its filter as any program's open does (a compressed or deduplicated
// file gives its data, a link is followed).
enum class FileReparse { OpenItself, Process };

// CreateFileW with `access`, shared for reading, writing and deleting (no running program is
// disturbed, no open fails on sharing), OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS (a folder opens
// too, to be told apart) and FILE_FLAG_OPEN_REPARSE_POINT for FileReparse::OpenItself. The path
// is opened as named: in a 32-bit process under WOW64 the file system redirection is turned off
// for this one call (and for nothing else: DLL loading needs it). On success stores the handle in
// *result, which the caller must close with file_close.
FileError file_open_w(const char16_t *path, FileAccess access, FileReparse reparse,
                      FileHandle *result);

// GetFileType's FILE_TYPE_DISK: a file or folder of a file system (not a device or pipe).
constexpr unsigned long FILE_KIND_DISK = 1;
// File attributes (FILE_ATTRIBUTE_DIRECTORY, _REPARSE_POINT, _OFFLINE, _RECALL_ON_OPEN and
// _RECALL_ON_DATA_ACCESS: the last three mean that the data is held elsewhere, and reading it
// fetches it from there), and the reparse tag bit of links and junctions (name surrogates).
constexpr unsigned long FILE_ATTR_FOLDER = 0x10;
constexpr unsigned long FILE_ATTR_REPARSE_POINT = 0x400;
constexpr unsigned long FILE_ATTR_OFFLINE = 0x1000;
constexpr unsigned long FILE_ATTR_RECALL_ON_OPEN = 0x40000;
constexpr unsigned long FILE_ATTR_RECALL_ON_DATA_ACCESS = 0x400000;
constexpr unsigned long REPARSE_TAG_NAME_SURROGATE = 0x20000000;

// What file_query answers about an open file.
struct FileInformation {
    unsigned long kind;          // GetFileType
    unsigned long attributes;    // GetFileInformationByHandle
    unsigned long reparse_tag;   // GetFileInformationByHandleEx's FileAttributeTagInfo, or 0
    unsigned long long size;     // bytes
    unsigned long long written;  // last write time, a FILETIME (100 ns units since 1601, UTC)
    unsigned long volume_serial; // with file_index: which file this is, whatever its name
    unsigned long long file_index;
};

// GetFileType, GetFileInformationByHandle and, for a reparse point, its tag, into *information.
FileError file_query(FileHandle file, FileInformation *information);

// ReadFile: up to `bytes` bytes at the file's position into `buffer`, their count in *done (0 at
// the end of the file).
FileError file_read(FileHandle file, unsigned char *buffer, unsigned long bytes,
                    unsigned long *done);

// CloseHandle.
FileError file_close(FileHandle file);

// SHA-256 through CryptoAPI (advapi32): a provider of PROV_RSA_AES acquired with
// CRYPT_VERIFYCONTEXT (no key container, nothing stored) and a CALG_SHA_256 hash on it.
typedef struct Sha256HashTag *Sha256Hash;
constexpr unsigned SHA256_BYTES = 32;
// CryptAcquireContextW and CryptCreateHash; on success stores the hash in *result, which the
// caller must close with sha256_close.
FileError sha256_begin(Sha256Hash *result);
// CryptHashData.
FileError sha256_add(Sha256Hash hash, const unsigned char *bytes, unsigned long count);
// CryptGetHashParam's HP_HASHVAL: the SHA256_BYTES of the digest; no more bytes can be added.
FileError sha256_end(Sha256Hash hash, unsigned char *digest);
// CryptDestroyHash and CryptReleaseContext.
void sha256_close(Sha256Hash hash);

// GetEnvironmentStringsW: this process's environment block, "NAME=value" strings each ended by
// a NUL and the block by one more; NULL when it cannot be had. Released with environment_free_w.
char16_t *environment_block_w();
// FreeEnvironmentStringsW.
void environment_free_w(char16_t *block);

// GetSystemWindowsDirectoryW: the Windows folder ("C:\Windows"), answered as that call does: its
// length without the NUL when it fits `capacity` characters with the NUL, else the capacity it
// needs; 0 on failure.
unsigned windows_folder_w(char16_t *buffer, unsigned capacity);

// ---------------------------------------------------------------------------------------------
// The system's own conversions between UTF-16 and an ANSI code page, one character at a time,
// from which registry/code_page.cpp builds its tables: WideCharToMultiByte with
// WC_NO_BEST_FIT_CHARS and MultiByteToWideChar with MB_ERR_INVALID_CHARS on Windows
// (platform_win32.cpp), glibc's iconv elsewhere (registry/code_page_iconv.cpp). Both are strict:
// a character the code page holds only as a look-alike, or not at all, has no bytes.

// IsValidCodePage: whether the system can convert to and from `code_page`.
bool code_page_installed(unsigned code_page);

// The bytes of one UTF-16 unit (not a surrogate) in `code_page`: returns their count, 1 or 2,
// with the bytes in bytes[0] and bytes[1], or 0 when the code page does not hold the character.
unsigned code_page_encode_unit(unsigned code_page, char16_t unit, char bytes[2]);

// The UTF-16 unit that `count` bytes (1 or 2) stand for in `code_page`; false when they are not
// exactly one character of it (a lead byte alone, an undefined byte or pair, two characters).
bool code_page_decode_unit(unsigned code_page, const char *bytes, unsigned count, char16_t *unit);

// ---------------------------------------------------------------------------------------------
// MessageBoxA with no owner window; returns the button pressed.
int message_box(const char *text, const char *caption, unsigned style);

// GlobalAlloc, GlobalLock, GlobalUnlock, GlobalFree. global_lock returns NULL on failure;
// global_free returns NULL on success, as GlobalFree does.
GlobalBlock global_alloc(unsigned flags, std::size_t bytes);
void *global_lock(GlobalBlock block);
void global_unlock(GlobalBlock block);
GlobalBlock global_free(GlobalBlock block);

// OpenClipboard with no owner window, EmptyClipboard, SetClipboardData, CloseClipboard. Once
// clipboard_set_data succeeds the block belongs to the clipboard and must not be touched again.
bool clipboard_open();
bool clipboard_empty();
bool clipboard_set_data(unsigned format, GlobalBlock block);
bool clipboard_close();

// The heap the report text grows in. heap_alloc returns NULL when memory runs out; heap_free
// accepts NULL. heap_realloc gives the block a new size, keeping its contents, and returns its
// new address; when memory runs out it returns NULL and `block` stays as it was.
void *heap_alloc(std::size_t bytes);
void *heap_realloc(void *block, std::size_t bytes);
void heap_free(void *block);
