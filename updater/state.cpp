// Process-wide state and constant texts of the update program.
#include "vrmset.h"

NvAPI_Status g_nvStatus = NVAPI_OK;
NvPhysicalGpuHandle g_hPhysicalGpu[NVAPI_MAX_PHYSICAL_GPUS] = {};
uint32_t g_physicalGpuCount = 0;
CString g_strPPID;

const CString g_strPPIDMarkers[kPPIDMarkerCount] = {
    "1402221898",
    "1402226825",
    "1403228981",
};

const CString g_strMessages[kMessageCount] = {
    "The firmware version is correct on your graphic card, do not need to be updated.",
    "The firmware version is the latest on your graphic, do not need to be updated.",
    "Do not turn off or restart your computer during firmware update.",
    "Firmware update failed, please try aging later.",
    "Firmware update completed, we will now restart your system.",
};
const CString& g_strMsgNoUpdate = g_strMessages[0];
const CString& g_strMsgLatest = g_strMessages[1];
const CString& g_strMsgDoNotTurnOff = g_strMessages[2];
const CString& g_strMsgUpdateFailed = g_strMessages[3];
const CString& g_strMsgUpdateCompleted = g_strMessages[4];
