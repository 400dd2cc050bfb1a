// The update flow: identify the board through the identity library, decide whether the
// update is for it, then hand over to the power-IC sequences.
#include <mbstring.h>

#include <cstring>

#include "vrmset.h"

namespace {

constexpr char kCardTagFileName[] = "cardtag.dll";

}  // namespace

HMODULE LoadCardTagLibrary() {
    // The program runs elevated: take the library only from the program's own folder, never
    // from the search path, where a planted copy would run with administrator rights.
    char szPath[MAX_PATH];
    DWORD nLength = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    if (nLength == 0 || nLength >= MAX_PATH) return NULL;  // failed or truncated
    char* pSlash = strrchr(szPath, '\\');
    if (!pSlash) return NULL;
    size_t nFolder = static_cast<size_t>(pSlash + 1 - szPath);
    if (nFolder + sizeof kCardTagFileName > MAX_PATH) return NULL;
    memcpy(pSlash + 1, kCardTagFileName, sizeof kCardTagFileName);
    return LoadLibraryA(szPath);
}

bool IsEligiblePPID(const char* szPPID) {
    const unsigned char* pbPPID = reinterpret_cast<const unsigned char*>(szPPID ? szPPID : "");
    for (const CString& strMarker : g_strPPIDMarkers) {
        if (_mbsstr(pbPPID, reinterpret_cast<const unsigned char*>(static_cast<const char*>(strMarker))))
            return true;
    }
    return false;
}

void RunFirmwareUpdate() {
    HMODULE hCardTag = LoadCardTagLibrary();
    if (!hCardTag) {
        MessageBoxA(NULL, g_strMsgNoUpdate, "LoadLibrary is failed!", MB_OK);
        return;
    }
    // The library is never freed: the process exit releases it.
    // Through the generic function pointer type, as the export's real type is not FARPROC's.
    GetVGAPPID_NumFn pfnGetPPID = reinterpret_cast<GetVGAPPID_NumFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(hCardTag, "GetVGAPPID_Num")));
    if (!pfnGetPPID) {
        MessageBoxA(NULL, g_strMsgNoUpdate, "OK", MB_OK);
        ExitProcess(0);
    }
    // The library rewrites its text on every call; keep a copy.
    g_strPPID = pfnGetPPID();

    if (!IsEligiblePPID(g_strPPID)) {
        MessageBoxA(NULL, g_strMsgNoUpdate, "OK", MB_OK);
        ExitProcess(0);
    }

    CheckPowerICState();
    // Nothing is written to the power IC before the user has seen this.
    MessageBoxA(NULL, g_strMsgDoNotTurnOff, "OK", MB_OK);
    ProgramPowerIC();
}
