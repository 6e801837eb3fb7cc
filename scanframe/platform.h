// The platform interface: every registry, message-box, clipboard and memory call of the scanners.
//
// Each operation keeps the shape of the Win32 call it stands for (status codes, capacities that
// the call updates, ERROR_MORE_DATA), so that the call sequence the scan depends on stays visible
// and testable. One implementation per platform is chosen at link time: platform_win32.cpp for
// the programs, the in-memory stand-in under tests/ for the unit tests.
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
