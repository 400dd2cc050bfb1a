// Windows front of the simulated driver: the DLL's export, its scenario file and its log file.
#include "nvsim.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HANDLE g_hLog = INVALID_HANDLE_VALUE;

std::string Stamp() {
    int64_t usec = nvsim::NowUsec();
    char sz[32];
    snprintf(sz, sizeof sz, "%lld.%03lld ", static_cast<long long>(usec / 1000),
             static_cast<long long>(usec % 1000));
    return sz;
}

// One whole line per write: with FILE_APPEND_DATA every write lands at the current end of
// the file, so lines of several writers never interleave.
void WriteLine(std::string line) {
    if (g_hLog == INVALID_HANDLE_VALUE) return;
    line += '\n';
    DWORD nWritten = 0;
    WriteFile(g_hLog, line.data(), static_cast<DWORD>(line.size()), &nWritten, nullptr);
    FlushFileBuffers(g_hLog);
}

void WriteEvent(const nvsim::Event& event) { WriteLine(nvsim::FormatEvent(event)); }

std::string EnvironmentValue(const char* szName) {
    char sz[1024];
    DWORD n = GetEnvironmentVariableA(szName, sz, sizeof sz);
    return n == 0 || n >= sizeof sz ? std::string() : std::string(sz, n);
}

bool ReadWholeFile(const std::string& path, std::string* pText) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) pText->append(buf, n);
    bool bOk = ferror(f) == 0;
    fclose(f);
    return bOk;
}

BOOL Attach() {
    std::string logPath = EnvironmentValue("NVSIM_LOG");
    std::string scenarioPath = EnvironmentValue("NVSIM_SCENARIO");
    if (!logPath.empty())
        g_hLog = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    WriteLine(Stamp() + "attach scenario=" + (scenarioPath.empty() ? "-" : scenarioPath) +
              " log=" + (logPath.empty() ? "-" : logPath));

    nvsim::Scenario scenario;
    if (!scenarioPath.empty()) {
        std::string text, error;
        int nLine = 0;
        if (!ReadWholeFile(scenarioPath, &text)) {
            WriteLine(Stamp() + "error scenario line=0 cannot read the file");
            return FALSE;
        }
        if (!nvsim::ParseScenario(text, scenario, &nLine, &error)) {
            WriteLine(Stamp() + "error scenario line=" + std::to_string(nLine) + " " + error);
            return FALSE;
        }
    }
    nvsim::Start(scenario);
    nvsim::SetLogSink(&WriteEvent);
    return TRUE;
}

}  // namespace

extern "C" void* __cdecl nvapi_QueryInterface(uint32_t id) { return nvsim::QueryInterface(id); }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) return Attach();
    if (dwReason == DLL_PROCESS_DETACH) {
        nvsim::SetLogSink(nullptr);
        if (g_hLog != INVALID_HANDLE_VALUE) CloseHandle(g_hLog);
        g_hLog = INVALID_HANDLE_VALUE;
    }
    return TRUE;
}
