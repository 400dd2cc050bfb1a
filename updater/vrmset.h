// The update program: process-wide state, the message texts, the update flow and the
// power-IC command sequences.
#pragma once

#include <windows.h>

#include "classlib.h"
#include "nvapi_contract.h"

// Process-wide update state.
extern NvAPI_Status g_nvStatus;  // last driver status (initialisation, enumerations, commands)
extern NvPhysicalGpuHandle g_hPhysicalGpu[NVAPI_MAX_PHYSICAL_GPUS];
extern uint32_t g_physicalGpuCount;
extern CString g_strPPID;  // the first adapter's PPID, as the identity library returned it

// A board is eligible when its PPID holds one of these, tested in this order.
constexpr int kPPIDMarkerCount = 3;
extern const CString g_strPPIDMarkers[kPPIDMarkerCount];

// The user's messages, one table in this order.
constexpr int kMessageCount = 5;
extern const CString g_strMessages[kMessageCount];
extern const CString& g_strMsgNoUpdate;
extern const CString& g_strMsgLatest;
extern const CString& g_strMsgDoNotTurnOff;
extern const CString& g_strMsgUpdateFailed;
extern const CString& g_strMsgUpdateCompleted;

// The identity library's export: the first adapter's PPID text, or null.
typedef const char*(__cdecl* GetVGAPPID_NumFn)(void);

// Entry logic of the program: initialises the driver API client and runs the update flow.
// Arguments are ignored; the result (0) is the exit code.
int VrmsetMain(int argc, char** argv, char** envp);

void RunFirmwareUpdate();
bool IsEligiblePPID(const char* szPPID);
// Loads the identity library from the program's own folder; null when that fails.
HMODULE LoadCardTagLibrary();

// Returns only when programming is to follow; ends the process otherwise.
void CheckPowerICState();
// Programs every enumerated GPU, then runs the completion check; may end the process.
void ProgramPowerIC();
// Completion check on GPU 0; on success the completion box and the reboot request.
void VerifyAndRestart();
// Enables the shutdown privilege and asks for a forced reboot; results are not examined.
void RequestReboot();
