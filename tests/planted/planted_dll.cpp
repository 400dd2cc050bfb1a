// A library planted where a program running with administrator rights must never look for
// its libraries: the current directory or a directory on PATH. Built under the names of the
// system's libraries (cardtag.dll, nvapi.dll, HWAX.DLL, atipdlxx.dll). When any process loads
// it, it appends the path of that process to "<its own path>.loaded", so a test sees that a
// search reached it. It exports nothing and does nothing else.
#include <windows.h>

namespace {

void LeaveTrace(HINSTANCE hInstance) {
    char szPath[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    lstrcatA(szPath, ".loaded");
    HANDLE hFile = CreateFileA(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    char szHost[MAX_PATH + 2];
    DWORD nHost = GetModuleFileNameA(nullptr, szHost, MAX_PATH);
    szHost[nHost] = '\r';
    szHost[nHost + 1] = '\n';
    DWORD nWritten = 0;
    WriteFile(hFile, szHost, nHost + 2, &nWritten, nullptr);
    CloseHandle(hFile);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        LeaveTrace(hInstance);
    return TRUE;
}
