// Stand-in for cardtag.dll in the Wine bench: the PPID of "the first adapter" comes from a
// file, so a scenario can hand the updater any text without a card or an access driver.
//
// GetVGAPPID_Num reads, at its first call, the file named by CARDTAG_STUB_PPID: its raw bytes
// (up to 64 KB, any values) become the text, NUL-terminated. With the variable unset, or naming
// a file that does not exist, it returns null, as the real library does for a foreign board.
//
// The same source also builds cardtag_noexport.dll, whose .def leaves GetVGAPPID_Num out and
// exports only the near name GetVGAPPID_Num1.
#include <windows.h>

#include <cstdint>

namespace {

constexpr DWORD kMaxPpid = 64 * 1024;
char g_szPPID[kMaxPpid + 1];
bool g_bRead = false;
bool g_bHavePPID = false;

void ReadPpidOnce() {
    if (g_bRead) return;
    g_bRead = true;
    char path[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("CARDTAG_STUB_PPID", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD total = 0;
    DWORD got = 0;
    while (total < kMaxPpid &&
           ReadFile(h, g_szPPID + total, kMaxPpid - total, &got, nullptr) && got > 0)
        total += got;
    CloseHandle(h);
    g_szPPID[total] = '\0';
    g_bHavePPID = true;
}

}  // namespace

extern "C" const char* __cdecl GetVGAPPID_Num() {
    ReadPpidOnce();
    return g_bHavePPID ? g_szPPID : nullptr;
}

extern "C" const char* __cdecl GetVGAPPID_Num1() {
    return GetVGAPPID_Num();
}
