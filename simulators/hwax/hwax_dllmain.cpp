// Load and unload of the simulated HWAX.DLL: configure from the environment, refuse the load
// when the scenario asks for it, and leave the call counts in the log at unload.
#include "hwaxsim.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    using namespace hwaxsim;
    if (dwReason == DLL_PROCESS_ATTACH) {
        std::string error;
        if (!ConfigureFromEnvironment(&error)) {
            AddEntry("hwax", EntryKind::Note, "DllMain", error);
            return FALSE;
        }
        if (CurrentScenario().bLoadFails) {
            AddEntry("hwax", EntryKind::Note, "DllMain", "load refused by the scenario");
            return FALSE;
        }
        AddEntry("hwax", EntryKind::Call, "DllMain", "attach");
    } else if (dwReason == DLL_PROCESS_DETACH) {
        LogCounts();
        AddEntry("hwax", EntryKind::Call, "DllMain", "detach");
    }
    return TRUE;
}
