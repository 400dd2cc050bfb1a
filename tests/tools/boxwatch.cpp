// boxwatch: the "user" of the Wine bench. Watches for message boxes (visible top-level
// dialogs of class "#32770"), writes one line per box to a log and presses OK.
//
//   boxwatch.exe <log file> <stop file> [<delay ms> [<deadline ms>]]
//
// Times are QueryPerformanceCounter milliseconds; under Wine that clock is shared by every
// process of the session, so this log merges with the driver simulator's log by time.
// Log lines (texts escaped so that one box is one line; bytes >= 0x80 as \xHH):
//   <ms> ready
//   <shown ms> box dismissed=<ms> owner=<0|1> icon=<0|1> buttons="OK" caption="..." text="..."
//   <ms> stop file|deadline
// It ends when the stop file exists or after the deadline (default 60000 ms).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

LARGE_INTEGER g_freq;
FILE* g_log = nullptr;
std::vector<HWND> g_handled;  // boxes already dismissed that may still exist for a moment

double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(g_freq.QuadPart);
}

std::string Escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string WindowText(HWND hwnd) {
    int n = GetWindowTextLengthA(hwnd);
    std::string s(static_cast<size_t>(n < 0 ? 0 : n) + 1, '\0');
    int got = GetWindowTextA(hwnd, s.data(), static_cast<int>(s.size()));
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

// The message text sits in the static control 0xFFFF; a long text needs a large buffer.
std::string BoxText(HWND hwnd) {
    HWND text = GetDlgItem(hwnd, 0xFFFF);
    size_t size = 1024;
    if (text) size = static_cast<size_t>(GetWindowTextLengthA(text)) + 2;
    std::string s(size, '\0');
    UINT got = GetDlgItemTextA(hwnd, 0xFFFF, s.data(), static_cast<int>(s.size()));
    s.resize(got);
    return s;
}

struct Controls {
    std::string buttons;
    bool icon = false;
};

BOOL CALLBACK CollectControl(HWND child, LPARAM param) {
    auto* c = reinterpret_cast<Controls*>(param);
    if (!IsWindowVisible(child)) return TRUE;
    char cls[64] = {};
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Button") == 0) {
        if (!c->buttons.empty()) c->buttons += ",";
        c->buttons += WindowText(child);
    } else if (lstrcmpiA(cls, "Static") == 0 &&
               (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
               SendMessageA(child, STM_GETICON, 0, 0) != 0) {
        // The box template always has the icon control; only a box with an icon fills it.
        c->icon = true;
    }
    return TRUE;
}

bool Handled(HWND hwnd) {
    for (HWND h : g_handled)
        if (h == hwnd) return true;
    return false;
}

int g_delayMs = 50;

BOOL CALLBACK VisitWindow(HWND hwnd, LPARAM) {
    if (!IsWindowVisible(hwnd) || Handled(hwnd)) return TRUE;
    char cls[16] = {};
    if (!GetClassNameA(hwnd, cls, sizeof cls) || lstrcmpA(cls, "#32770") != 0) return TRUE;

    double shown = NowMs();
    std::string caption = WindowText(hwnd);
    std::string text = BoxText(hwnd);
    Controls controls;
    EnumChildWindows(hwnd, CollectControl, reinterpret_cast<LPARAM>(&controls));
    bool owned = GetWindow(hwnd, GW_OWNER) != nullptr;

    Sleep(static_cast<DWORD>(g_delayMs));
    // The dismissal time is taken as OK is pressed, before the message is sent: the program
    // may go on as soon as the box takes the command, and under load that can be before the
    // send returns here, so a time taken afterwards could come after the program's next step.
    double dismissed = NowMs();
    // A box of a hung program must not hang the watcher too.
    SendMessageTimeoutA(hwnd, WM_COMMAND, IDOK, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    g_handled.push_back(hwnd);

    std::fprintf(g_log,
                 "%.3f box dismissed=%.3f owner=%d icon=%d buttons=\"%s\" caption=\"%s\" "
                 "text=\"%s\"\n",
                 shown, dismissed, owned ? 1 : 0, controls.icon ? 1 : 0,
                 Escape(controls.buttons).c_str(), Escape(caption).c_str(),
                 Escape(text).c_str());
    std::fflush(g_log);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: boxwatch <log> <stop file> [<delay ms> [<deadline ms>]]\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_freq);
    g_log = std::fopen(argv[1], "ab");
    if (!g_log) return 3;
    const char* stopFile = argv[2];
    if (argc > 3) g_delayMs = std::atoi(argv[3]);
    double deadlineMs = argc > 4 ? std::atof(argv[4]) : 60000.0;

    double start = NowMs();
    std::fprintf(g_log, "%.3f ready\n", start);
    std::fflush(g_log);
    const char* why = "deadline";
    while (NowMs() - start < deadlineMs) {
        if (GetFileAttributesA(stopFile) != INVALID_FILE_ATTRIBUTES) {
            why = "stop file";
            break;
        }
        EnumWindows(VisitWindow, 0);
        // Forget dismissed boxes once they are gone, so that a reused handle counts again.
        std::vector<HWND> alive;
        for (HWND h : g_handled)
            if (IsWindow(h)) alive.push_back(h);
        g_handled.swap(alive);
        Sleep(10);
    }
    std::fprintf(g_log, "%.3f stop %s\n", NowMs(), why);
    std::fclose(g_log);
    return 0;
}
