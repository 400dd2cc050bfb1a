// A program planted as loadspin.exe in the current directory or a directory on PATH. When
// started it appends its command line to "<its own path>.started" and ends.
#include <windows.h>

int main() {
    char szPath[MAX_PATH + 9];
    DWORD n = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    lstrcatA(szPath, ".started");
    HANDLE hFile = CreateFileA(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    const char* szCommandLine = GetCommandLineA();
    DWORD nWritten = 0;
    WriteFile(hFile, szCommandLine, lstrlenA(szCommandLine), &nWritten, nullptr);
    WriteFile(hFile, "\r\n", 2, &nWritten, nullptr);
    CloseHandle(hFile);
    return 0;
}
