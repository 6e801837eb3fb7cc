// Wine test helper: runs a program and answers its message box, reads the clipboard, writes and
// dumps registry values.
//
// Subcommands (paths are Windows paths, e.g. Z:\tmp\x):
//   run ANSWER OUTDIR PROGRAM   ANSWER = yes | no | enter; results go to files in OUTDIR
//   setraw KEYPATH NAME TYPE HEX   store exactly the HEX bytes (NAME "@" = unnamed value, HEX "-" =
//   none) dump KEYPATH                 list every value under the key tree as the narrow calls see
//   it codepages                    print the ANSI and OEM code pages
// KEYPATH is relative to HKEY_CLASSES_ROOT, unless it starts with "HKLM\" or "HKCU\"
// (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER). Exit code 0 on success, 2 on a usage or system error.
//
// run puts a marker text on the clipboard, starts PROGRAM, waits (bounded) for its dialog-class
// window or its exit, records the box, answers it (yes/no: a click on that button; enter: a key
// press on the focused control), waits for the exit and reads the clipboard. Files in OUTDIR:
//   result.txt        "name value" lines: marker, box (seen|none|timeout), box_owner, box_control
//   (one per
//                     child: id class style visible text-as-UTF-8-hex), box_icons, box_button (id
//                     def|- text), box_focus, answered, extra_boxes, exit (code|killed),
//                     clipboard_formats, clipboard_oemtext (text length, block size, nul|no_nul) or
//                     "none"
//   box_caption.bin   the caption as narrow (code page) bytes
//   box_text.bin      the text control's text as narrow bytes, via GetWindowTextA
//   clipboard.bin     the CF_OEMTEXT bytes up to the NUL
//   extraN_*          the same for any further box the program showed

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Text put on the clipboard before a run, so that an untouched clipboard can be recognised.
const char CLIPBOARD_MARKER[] = "rig marker: clipboard untouched";

const DWORD BOX_WAIT_MS = 20000;  // how long the program may take to show its box or exit
const DWORD EXIT_WAIT_MS = 10000; // how long it may take to exit once the box is answered
const DWORD POLL_MS = 20;

int fail(const char *what) {
    std::fprintf(stderr, "rig_helper: %s (error %lu)\n", what, GetLastError());
    return 2;
}

std::string to_utf8(const std::wstring &w) {
    if (w.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::string hex(const void *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(data);
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool unhex(const wchar_t *text, std::vector<unsigned char> &out) {
    out.clear();
    if (std::wcscmp(text, L"-") == 0)
        return true;
    size_t n = std::wcslen(text);
    if (n % 2)
        return false;
    for (size_t i = 0; i < n; i += 2) {
        unsigned v = 0;
        for (size_t k = 0; k < 2; ++k) {
            wchar_t c = text[i + k];
            v <<= 4;
            if (c >= L'0' && c <= L'9')
                v |= (unsigned)(c - L'0');
            else if (c >= L'a' && c <= L'f')
                v |= (unsigned)(c - L'a' + 10);
            else if (c >= L'A' && c <= L'F')
                v |= (unsigned)(c - L'A' + 10);
            else
                return false;
        }
        out.push_back((unsigned char)v);
    }
    return true;
}

// ---- files in OUTDIR ----

struct OutDir {
    std::wstring path;
    std::string result; // lines of result.txt, written at the end

    bool write(const wchar_t *name, const void *data, size_t n) const {
        std::wstring full = path + L"\\" + name;
        HANDLE f = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE)
            return false;
        DWORD done = 0;
        BOOL ok = n == 0 || WriteFile(f, data, (DWORD)n, &done, nullptr);
        CloseHandle(f);
        return ok && done == n;
    }
    void line(const std::string &l) { result += l + "\n"; }
};

// ---- clipboard ----

bool open_clipboard() {
    for (int i = 0; i < 100; ++i) {
        if (OpenClipboard(nullptr))
            return true;
        Sleep(POLL_MS);
    }
    return false;
}

bool put_marker() {
    if (!open_clipboard())
        return false;
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof CLIPBOARD_MARKER);
    bool ok = false;
    if (block) {
        void *p = GlobalLock(block);
        if (p) {
            std::memcpy(p, CLIPBOARD_MARKER, sizeof CLIPBOARD_MARKER);
            GlobalUnlock(block);
            ok = SetClipboardData(CF_OEMTEXT, block) != nullptr;
        }
        if (!ok)
            GlobalFree(block);
    }
    CloseClipboard();
    return ok;
}

// Records the formats on offer and the CF_OEMTEXT bytes up to the NUL (bounded by the block size).
void read_clipboard(OutDir &out) {
    if (!open_clipboard()) {
        out.line("clipboard unreadable");
        return;
    }
    std::string formats = "clipboard_formats";
    for (UINT f = EnumClipboardFormats(0); f != 0; f = EnumClipboardFormats(f))
        formats += " " + std::to_string(f);
    out.line(formats);
    HANDLE h = GetClipboardData(CF_OEMTEXT);
    if (!h) {
        out.line("clipboard_oemtext none");
    } else {
        SIZE_T size = GlobalSize(h);
        const char *p = static_cast<const char *>(GlobalLock(h));
        if (!p) {
            out.line("clipboard_oemtext unlockable");
        } else {
            SIZE_T n = 0;
            while (n < size && p[n])
                ++n;
            out.write(L"clipboard.bin", p, n);
            // text length, block size, whether a NUL ends the text inside the block
            out.line("clipboard_oemtext " + std::to_string(n) + " " + std::to_string(size) +
                     (n < size ? " nul" : " no_nul"));
            GlobalUnlock(h);
        }
    }
    CloseClipboard();
}

// ---- finding and reading the message box ----

struct BoxSearch {
    DWORD pid;
    HWND exclude;
    HWND found;
};

BOOL CALLBACK find_box_proc(HWND w, LPARAM lp) {
    BoxSearch *s = reinterpret_cast<BoxSearch *>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != s->pid || w == s->exclude || !IsWindowVisible(w))
        return TRUE;
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0)
        return TRUE;
    s->found = w;
    return FALSE;
}

// A visible dialog-class top-level window of the process, other than `exclude`.
HWND find_box(DWORD pid, HWND exclude) {
    BoxSearch s{pid, exclude, nullptr};
    EnumWindows(find_box_proc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::string window_text_a(HWND w) {
    std::vector<char> buf(1 << 20);
    int n = GetWindowTextA(w, buf.data(), (int)buf.size());
    return std::string(buf.data(), n > 0 ? (size_t)n : 0);
}

std::wstring window_text_w(HWND w) {
    std::vector<wchar_t> buf(1 << 16);
    int n = GetWindowTextW(w, buf.data(), (int)buf.size());
    return std::wstring(buf.data(), n > 0 ? (size_t)n : 0);
}

std::string class_name(HWND w) {
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    return cls;
}

struct BoxInfo {
    HWND text = nullptr;
    std::vector<HWND> buttons; // visible buttons in window order
    HWND focus = nullptr;
};

// Writes what the box shows: caption, owner, controls, text, buttons and the focused control.
// The default button is the one with the BS_DEFPUSHBUTTON style (Wine's box does not answer
// DM_GETDEFID with it).
BoxInfo record_box(HWND box, DWORD tid, OutDir &out, const wchar_t *prefix) {
    BoxInfo info;
    std::wstring p(prefix);
    std::string caption = window_text_a(box);
    out.write((p + L"_caption.bin").c_str(), caption.data(), caption.size());
    out.line(to_utf8(p) + "_owner " + (GetWindow(box, GW_OWNER) ? "yes" : "none"));

    int icons = 0;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::string cls = class_name(c);
        LONG style = GetWindowLongW(c, GWL_STYLE);
        int id = GetDlgCtrlID(c);
        bool visible = IsWindowVisible(c) != FALSE;
        std::string text = to_utf8(window_text_w(c));
        char head[160];
        std::snprintf(head, sizeof head, "%s_control %d %s %08lx %d ", to_utf8(p).c_str(), id,
                      cls.c_str(), (unsigned long)style, visible ? 1 : 0);
        out.line(head + hex(text.data(), text.size()));
        if (_stricmp(cls.c_str(), "Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                DWORD_PTR icon = 0;
                SendMessageTimeoutW(c, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
                if (visible && icon)
                    ++icons;
            } else if (!info.text) {
                info.text = c;
            }
        } else if (_stricmp(cls.c_str(), "Button") == 0 && visible) {
            info.buttons.push_back(c);
        }
    }
    out.line(to_utf8(p) + "_icons " + std::to_string(icons));

    if (info.text) {
        std::string text = window_text_a(info.text);
        out.write((p + L"_text.bin").c_str(), text.data(), text.size());
    }
    for (HWND b : info.buttons) {
        LONG style = GetWindowLongW(b, GWL_STYLE);
        std::string text = to_utf8(window_text_w(b));
        out.line(to_utf8(p) + "_button " + std::to_string(GetDlgCtrlID(b)) + " " +
                 ((style & 0x0F) == BS_DEFPUSHBUTTON ? "def" : "-") + " " + text);
    }
    GUITHREADINFO gti;
    std::memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    if (GetGUIThreadInfo(tid, &gti) && gti.hwndFocus) {
        info.focus = gti.hwndFocus;
        out.line(to_utf8(p) + "_focus " + std::to_string(GetDlgCtrlID(gti.hwndFocus)));
    } else {
        out.line(to_utf8(p) + "_focus none");
    }
    return info;
}

// A key press as the keyboard would deliver it to the focused control: key down, then key up. No
// WM_CHAR: the dialog's message loop takes the key-down itself and never translates it into one.
void press_enter(HWND target) {
    UINT scan = MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (LPARAM)(scan << 16);
    LPARAM up = down | (LPARAM)1 << 30 | (LPARAM)1 << 31;
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, down);
    PostMessageW(target, WM_KEYUP, VK_RETURN, up);
}

HWND button_with_id(const BoxInfo &info, int id) {
    for (HWND b : info.buttons)
        if (GetDlgCtrlID(b) == id)
            return b;
    return nullptr;
}

// Answers the box: a click on Yes or No, or Enter on the focused control.
void answer_box(HWND box, const BoxInfo &info, const std::wstring &answer, OutDir &out) {
    if (answer == L"enter") {
        bool on_focus = info.focus && IsChild(box, info.focus);
        press_enter(on_focus ? info.focus : box);
        out.line(std::string("answered enter ") + (on_focus ? "focus" : "box"));
        return;
    }
    HWND b = button_with_id(info, answer == L"yes" ? IDYES : IDNO);
    if (b) {
        PostMessageW(b, BM_CLICK, 0, 0);
        out.line("answered " + to_utf8(answer) + " click");
    } else {
        // No such button: end the box with Enter so the run still finishes.
        press_enter(info.focus && IsChild(box, info.focus) ? info.focus : box);
        out.line("answered " + to_utf8(answer) + " missing_button");
    }
}

bool wait_ready(HANDLE process, HWND box) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        if (!IsWindow(box))
            return false;
        if (IsWindowVisible(box) && WaitForInputIdle(process, 0) == 0)
            return true;
        Sleep(POLL_MS);
    }
    return IsWindow(box);
}

int cmd_run(const std::wstring &answer, const std::wstring &outdir, const std::wstring &program) {
    if (answer != L"yes" && answer != L"no" && answer != L"enter")
        return fail("answer must be yes, no or enter");
    OutDir out{outdir, std::string()};
    if (!out.write(L"result.txt", "", 0))
        return fail("cannot write to OUTDIR");

    out.line(put_marker() ? "marker set" : "marker failed");

    std::wstring cmdline = L"\"" + program + L"\"";
    STARTUPINFOW si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(program.c_str(), &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return fail("cannot start the program");

    DWORD start = GetTickCount();
    HWND box = nullptr;
    bool exited = false;
    while (GetTickCount() - start < BOX_WAIT_MS) {
        box = find_box(pi.dwProcessId, nullptr);
        if (box)
            break;
        if (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0) {
            exited = true;
            break;
        }
    }

    int extra = 0;
    bool killed = false;
    if (box) {
        wait_ready(pi.hProcess, box);
        out.line("box seen " + std::to_string(GetTickCount() - start) + "ms");
        BoxInfo info = record_box(box, GetWindowThreadProcessId(box, nullptr), out, L"box");
        answer_box(box, info, answer, out);

        // Wait for the exit; any further box is recorded and dismissed with Enter.
        DWORD answered = GetTickCount();
        HWND last = box;
        while (true) {
            if (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0)
                break;
            if (GetTickCount() - answered >= EXIT_WAIT_MS) {
                TerminateProcess(pi.hProcess, 255);
                WaitForSingleObject(pi.hProcess, 5000);
                killed = true;
                break;
            }
            HWND next = find_box(pi.dwProcessId, last);
            if (next && next != box) {
                if (!wait_ready(pi.hProcess, next))
                    continue;
                ++extra;
                std::wstring prefix = L"extra" + std::to_wstring(extra);
                out.line(to_utf8(prefix) + " seen");
                BoxInfo more =
                    record_box(next, GetWindowThreadProcessId(next, nullptr), out, prefix.c_str());
                press_enter(more.focus && IsChild(next, more.focus) ? more.focus : next);
                last = next;
            }
        }
    } else if (exited) {
        out.line("box none");
    } else {
        out.line("box timeout");
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, 5000);
        killed = true;
    }
    out.line("extra_boxes " + std::to_string(extra));

    DWORD code = 0;
    if (killed || !GetExitCodeProcess(pi.hProcess, &code))
        out.line("exit killed");
    else
        out.line("exit " + std::to_string(code));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    read_clipboard(out);
    if (!out.write(L"result.txt", out.result.data(), out.result.size()))
        return fail("cannot write result.txt");
    return 0;
}

// ---- registry ----

// The predefined key a KEYPATH starts from, and the path below it.
HKEY root_of(const std::wstring &path, std::wstring &below) {
    below = path;
    if (path.compare(0, 5, L"HKLM\\") != 0 && path.compare(0, 5, L"HKCU\\") != 0)
        return HKEY_CLASSES_ROOT;
    below = path.substr(5);
    return path[2] == L'L' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

struct UnicodeString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
typedef LONG(NTAPI *NtSetValueKeyFn)(HANDLE, UnicodeString *, ULONG, ULONG, PVOID, ULONG);

DWORD parse_type(const std::wstring &t) {
    if (t == L"REG_SZ")
        return REG_SZ;
    if (t == L"REG_EXPAND_SZ")
        return REG_EXPAND_SZ;
    if (t == L"REG_BINARY")
        return REG_BINARY;
    if (t == L"REG_DWORD")
        return REG_DWORD;
    if (t == L"REG_MULTI_SZ")
        return REG_MULTI_SZ;
    if (t == L"REG_NONE")
        return REG_NONE;
    return (DWORD)std::wcstoul(t.c_str(), nullptr, 0);
}

// Stores the bytes as given. The registry functions add a terminator to string data; NtSetValueKey
// does not.
int cmd_setraw(const std::wstring &path, const std::wstring &name, const std::wstring &type,
               const wchar_t *hexbytes) {
    std::vector<unsigned char> data;
    if (!unhex(hexbytes, data))
        return fail("bad hex bytes");
    NtSetValueKeyFn set_value = reinterpret_cast<NtSetValueKeyFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    if (!set_value)
        return fail("NtSetValueKey not found");
    HKEY key = nullptr;
    std::wstring below;
    HKEY root = root_of(path, below);
    if (RegCreateKeyExW(root, below.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return fail("cannot open or create the key");
    std::wstring value_name = name == L"@" ? std::wstring() : name;
    UnicodeString us;
    us.Length = (USHORT)(value_name.size() * sizeof(wchar_t));
    us.MaximumLength = us.Length;
    us.Buffer = &value_name[0];
    unsigned char none = 0;
    LONG status = set_value(key, &us, 0, parse_type(type), data.empty() ? &none : data.data(),
                            (ULONG)data.size());
    RegCloseKey(key);
    if (status != 0) {
        std::fprintf(stderr, "rig_helper: NtSetValueKey status %08lx\n", (unsigned long)status);
        return 2;
    }
    return 0;
}

// One line per key ("key PATHHEX"), then per value two lines:
//   "value INDEX TYPE NAMEHEX COUNT DATAHEX NEXT" as RegEnumValueA reports it, where NEXT is the
//   byte after the reported data (the buffer is prefilled with 0xcc, so "00" means the call added a
//   terminator); "raw INDEX TYPE NAMEHEX SIZE DATAHEX" with the stored bytes as RegEnumValueW
//   reports them (name in UTF-8).
// Empty fields are "-".
void dump_key(HKEY key, const std::string &path) {
    std::printf("key %s\n", hex(path.data(), path.size()).c_str());
    std::vector<unsigned char> data(1 << 16);
    auto field = [](const void *p, size_t n) { return n ? hex(p, n) : std::string("-"); };
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD name_len = sizeof name;
        DWORD type = 0;
        DWORD count = (DWORD)data.size() - 1;
        std::memset(data.data(), 0xcc, data.size());
        LONG status = RegEnumValueA(key, i, name, &name_len, nullptr, &type, data.data(), &count);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            std::printf("error %lu %ld\n", i, status);
            break;
        }
        std::string next = count < data.size() ? hex(&data[count], 1) : "-";
        std::printf("value %lu %lu %s %lu %s %s\n", i, type, field(name, name_len).c_str(), count,
                    field(data.data(), count).c_str(), next.c_str());

        wchar_t wname[16384];
        DWORD wname_len = sizeof wname / sizeof wname[0];
        DWORD size = (DWORD)data.size();
        status = RegEnumValueW(key, i, wname, &wname_len, nullptr, &type, data.data(), &size);
        if (status != ERROR_SUCCESS) {
            std::printf("error %lu %ld\n", i, status);
            break;
        }
        std::string uname = to_utf8(std::wstring(wname, wname_len));
        std::printf("raw %lu %lu %s %lu %s\n", i, type, field(uname.data(), uname.size()).c_str(),
                    size, field(data.data(), size).c_str());
    }
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD name_len = sizeof name;
        if (RegEnumKeyExA(key, i, name, &name_len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        std::string sub_path = path + "\\" + std::string(name, name_len);
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            dump_key(sub, sub_path);
            RegCloseKey(sub);
        } else {
            std::printf("unopenable %s\n", hex(sub_path.data(), sub_path.size()).c_str());
        }
    }
}

int cmd_dump(const std::wstring &path) {
    std::wstring below;
    HKEY root = root_of(path, below);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, below.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        std::printf("missing %ld\n", status);
        return 0;
    }
    int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow((size_t)(n > 0 ? n - 1 : 0), '\0');
    if (n > 1)
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &narrow[0], n, nullptr, nullptr);
    dump_key(key, narrow);
    RegCloseKey(key);
    std::fflush(stdout);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: rig_helper run yes|no|enter OUTDIR PROGRAM\n"
                         "       rig_helper setraw KEYPATH NAME|@ TYPE HEXBYTES|-\n"
                         "       rig_helper dump KEYPATH\n"
                         "       rig_helper codepages\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2)
        return usage();
    std::wstring cmd = argv[1];
    if (cmd == L"run" && argc == 5)
        return cmd_run(argv[2], argv[3], argv[4]);
    if (cmd == L"setraw" && argc == 6)
        return cmd_setraw(argv[2], argv[3], argv[4], argv[5]);
    if (cmd == L"dump" && argc == 3)
        return cmd_dump(argv[2]);
    if (cmd == L"codepages" && argc == 2) {
        std::printf("acp %u oemcp %u\n", GetACP(), GetOEMCP());
        return 0;
    }
    return usage();
}
