// Simulated wake-up program: brings the sleeping ATI adapter out of its ultra-low-power state
// (by leaving the marker file in the shared state folder that the simulated DLLs look for),
// records its run and command line, and stays running for the scenario's time, or for ever.
#include <windows.h>

#include <cstdio>
#include <string>

#include "hwaxsim.h"

int main() {
    using namespace hwaxsim;
    std::string error;
    if (!ConfigureFromEnvironment(&error)) AddEntry("loadspin", EntryKind::Note, "loadspin", error);
    const LoadspinConfig config = CurrentScenario().loadspin;
    const std::string commandLine = GetCommandLineA();
    AddEntry("loadspin", EntryKind::Call, "loadspin",
             "run cmdline=\"" + commandLine + "\"" + (config.bWakes ? " wakes" : ""));

    char dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("HWAXSIM_STATE", dir, sizeof dir);
    if (n > 0 && n < sizeof dir) {
        std::string runs = std::string(dir, n) + "\\loadspin.runs";
        if (FILE* f = std::fopen(runs.c_str(), "ab")) {
            std::fprintf(f, "%s\r\n", commandLine.c_str());
            std::fclose(f);
        }
    } else if (config.bWakes) {
        AddEntry("loadspin", EntryKind::Note, "loadspin", "HWAXSIM_STATE not set: nobody sees the wake-up");
    }
    if (config.bWakes) MarkAwake();

    if (config.bHangs) {
        for (;;) Sleep(1000);
    }
    Sleep(config.nRunMs);
    AddEntry("loadspin", EntryKind::Call, "loadspin", "ended");
    return 0;
}
