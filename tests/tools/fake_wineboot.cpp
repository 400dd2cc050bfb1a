// Stand-in for Wine's wineboot.exe in the bench's prefix. The program under test asks for a
// reboot with ExitWindowsEx; Wine answers by starting <system dir>\wineboot.exe, whose
// --kill would end every process of the session. This one only appends its arguments and
// full command line, as one line, to the file named by WINEBOOT_RECORD (or wineboot.log
// beside itself), and exits 0:
//   <ms> args="--kill" cmdline="..."
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Escape(const char* s) {
    std::string out;
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    char path[MAX_PATH + 16] = {};
    DWORD n = GetEnvironmentVariableA("WINEBOOT_RECORD", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        char* slash = std::strrchr(path, '\\');
        if (slash) slash[1] = '\0';
        else path[0] = '\0';
        lstrcatA(path, "wineboot.log");
    }
    std::string args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += ' ';
        args += argv[i];
    }
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    FILE* f = std::fopen(path, "ab");
    if (!f) return 0;
    std::fprintf(f, "%.3f args=\"%s\" cmdline=\"%s\"\n",
                 static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart),
                 Escape(args.c_str()).c_str(), Escape(GetCommandLineA()).c_str());
    std::fclose(f);
    return 0;
}
