// Load of the simulated atipdlxx.dll: the same scenario, log and state folder as HWAX.DLL.
#include "atipdlsim.h"

#include "hwaxsim.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    using namespace hwaxsim;
    if (dwReason == DLL_PROCESS_ATTACH) {
        std::string error;
        if (!ConfigureFromEnvironment(&error)) {
            AddEntry("atipdl", EntryKind::Note, "DllMain", error);
            return FALSE;
        }
        if (CurrentScenario().ati.bLoadFails) {
            AddEntry("atipdl", EntryKind::Note, "DllMain", "load refused by the scenario");
            return FALSE;
        }
        AddEntry("atipdl", EntryKind::Call, "DllMain", "attach");
    } else if (dwReason == DLL_PROCESS_DETACH) {
        LogCounts();
    }
    return TRUE;
}
