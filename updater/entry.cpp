// Entry logic of the update program.
#include "nvloader.h"
#include "vrmset.h"

int VrmsetMain(int, char**, char**) {
    // A failed initialisation is reported by the state check, not here.
    g_nvStatus = NvAPI_Initialize();
    RunFirmwareUpdate();
    return 0;
}
