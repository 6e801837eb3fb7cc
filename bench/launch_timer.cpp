// Windows helper for timing a program under Wine: starts it and times its message box or its exit.
//
// Usage: launch_timer box PROGRAM   time from start until PROGRAM shows its "tovrik" message box
//                                   (a top-level #32770 window with that caption), answer Yes,
//                                   wait for the exit, then count the lines it put on the
//                                   clipboard;
//        launch_timer exit PROGRAM  time from start until PROGRAM exits.
// Prints "ms=<milliseconds> lines=<clipboard lines, or -1> polls=<window searches>" and exits 0;
// exits 1 when the box does not show up or the program does not end within TIMEOUT_MS.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const DWORD TIMEOUT_MS = 300000;
const DWORD POLL_MS = 1;
const char BOX_CLASS[] = "#32770";
const char BOX_CAPTION[] = "tovrik";

double now_ms() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The box of process `process_id`, once it is there; NULL when the process ended or time ran out.
// Counts the window searches in *polls: each is a call to the window server that the program
// also needs for its registry reads, so they should be few.
HWND wait_for_box(HANDLE process, DWORD process_id, int *polls) {
    // The program has no message loop before its box: it goes idle when the box waits for input.
    WaitForInputIdle(process, TIMEOUT_MS);
    double give_up = now_ms() + TIMEOUT_MS;
    while (now_ms() < give_up) {
        ++*polls;
        HWND box = FindWindowA(BOX_CLASS, BOX_CAPTION);
        DWORD owner = 0;
        if (box && GetWindowThreadProcessId(box, &owner) && owner == process_id)
            return box;
        if (WaitForSingleObject(process, POLL_MS) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

// The number of LF-ended lines of the CF_OEMTEXT on the clipboard, or -1.
int clipboard_lines() {
    if (!OpenClipboard(nullptr))
        return -1;
    int lines = -1;
    HANDLE data = GetClipboardData(CF_OEMTEXT);
    const char *text = data ? static_cast<const char *>(GlobalLock(data)) : nullptr;
    if (text) {
        lines = 0;
        for (const char *c = text; *c; c++)
            lines += *c == '\n' ? 1 : 0;
        GlobalUnlock(data);
    }
    CloseClipboard();
    return lines;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "box") != 0 && std::strcmp(argv[1], "exit") != 0)) {
        std::fprintf(stderr, "usage: launch_timer box|exit PROGRAM\n");
        return 2;
    }
    bool want_box = std::strcmp(argv[1], "box") == 0;
    if (want_box && OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
    char command_line[MAX_PATH + 2];
    std::snprintf(command_line, sizeof command_line, "\"%s\"", argv[2]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};

    double start = now_ms();
    if (!CreateProcessA(argv[2], command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "cannot start %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    double elapsed = -1;
    int lines = -1;
    int polls = 0;
    if (want_box) {
        HWND box = wait_for_box(process.hProcess, process.dwProcessId, &polls);
        if (box) {
            elapsed = now_ms() - start;
            PostMessageA(box, WM_COMMAND, IDYES, 0);
        }
    }
    bool ended = WaitForSingleObject(process.hProcess, TIMEOUT_MS) == WAIT_OBJECT_0;
    if (!want_box && ended)
        elapsed = now_ms() - start;
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (want_box && ended)
        lines = clipboard_lines();
    if (elapsed < 0 || !ended) {
        std::fprintf(stderr, "%s: %s\n", argv[2],
                     !ended ? "did not end" : "ended without showing its box");
        return 1;
    }
    std::printf("ms=%.3f lines=%d polls=%d\n", elapsed, lines, polls);
    return 0;
}
