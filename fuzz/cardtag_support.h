// The identity library in a fuzz run: its process-wide state put back to what a freshly
// started process has, its load and unload as the C runtime runs them, and its exports by
// number.
#pragma once

#include <new>

#include "classlib.h"
#include "discovery.h"
#include "exports.h"
#include "fuzz_support.h"
#include "vgainfo.h"

namespace fuzz {

// Whether g_VGAInfo is constructed (the modelled C runtime destroys it at unload).
inline bool g_bLibraryObjectAlive = true;

// The identity library's process-wide state as a process has it before the library is
// loaded: the global object in zeroed storage, freshly constructed, and every value of
// discovery at its load value. Nothing of the previous run is released; the stand-in has
// been reset and its handles mean nothing any more.
inline void ResetCardtagLibrary() {
    if (g_bLibraryObjectAlive) {
        g_VGAInfo.m_hDriver = nullptr;
        g_VGAInfo.CVGAInfo::~CVGAInfo();
    }
    std::memset(static_cast<void*>(&g_VGAInfo), 0, sizeof(g_VGAInfo));
    // The zeros are what the object keeps (its constructor sets nothing); the barrier keeps
    // the compiler from dropping them as stores into an object whose life has not begun.
    asm volatile("" : : "r"(&g_VGAInfo) : "memory");
    new (&g_VGAInfo) CVGAInfo;
    g_bLibraryObjectAlive = true;
    g_nVendorId = 0;
    g_bBiosMMIO = FALSE;
    g_ExtensionModule = AFX_EXTENSION_MODULE{};
    g_NvApiEntries[kNvApiEnumPhysicalGPUsEntry].pfnEntry =
        reinterpret_cast<void*>(&NvApiDefaultEnumPhysicalGPUs);
    g_NvApiEntries[kNvApiGpuGetBusIdEntry].pfnEntry = reinterpret_cast<void*>(&NvApiDefaultGpuGetBusId);
    g_nNvApiStatus = 0;
    g_nNvApiDefaultStatus = -4;
    std::memset(g_hNvApiGpu, 0, sizeof(g_hNvApiGpu));
    g_nNvApiGpuCount = 0;
    g_pfnEnumDisplayDevicesA = nullptr;
    g_nPrimaryDisplay = 0;
    g_hAtiPdl = nullptr;
    g_pfnAtiEnumPhysicalAdapters = nullptr;
    g_pfnAtiGetPMCurrentActivity = nullptr;
    g_AtiAdapter = ATI_ADAPTER_RECORD{};
    // The class library's chain: whatever an earlier run left linked is dropped.
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    while (CDynLinkLibrary* pLib = pState->pLibraries) {
        pState->pLibraries = pLib->m_pNext;
        delete pLib;
    }
}

// The entry of cardtag.dll as the C runtime runs it around DllMain: construct the static
// object, call DllMain; on a failed attach or at the detach, DllMain with the detach and the
// object's destruction, which releases the access driver.
inline BOOL CardtagCrtEntry(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        ResetCardtagLibrary();
        if (DllMain(hInstance, dwReason, lpReserved))
            return TRUE;
        DllMain(hInstance, DLL_PROCESS_DETACH, lpReserved);
        g_VGAInfo.CVGAInfo::~CVGAInfo();
        g_bLibraryObjectAlive = false;
        return FALSE;
    }
    if (dwReason == DLL_PROCESS_DETACH && g_bLibraryObjectAlive) {
        DllMain(hInstance, dwReason, lpReserved);
        g_VGAInfo.CVGAInfo::~CVGAInfo();
        g_bLibraryObjectAlive = false;
    }
    return TRUE;
}

inline constexpr const char* kCardtagPath = "C:\\Program Files\\vrmset\\cardtag.dll";

// cardtag.dll beside the host, with its eleven exports.
inline winstub::ModuleFile CardtagFile() {
    winstub::ModuleFile file{kCardtagPath, {}};
    file.exports = {
        {"GetTELOVGACard", reinterpret_cast<void*>(&GetTELOVGACard)},
        {"GetVGAModleName", reinterpret_cast<void*>(&GetVGAModleName)},
        {"GetVGAModleName1", reinterpret_cast<void*>(&GetVGAModleName1)},
        {"GetVGAModleName2", reinterpret_cast<void*>(&GetVGAModleName2)},
        {"GetVGAModleName3", reinterpret_cast<void*>(&GetVGAModleName3)},
        {"GetVGAPPID_Num", reinterpret_cast<void*>(&GetVGAPPID_Num)},
        {"GetVGAPPID_Num1", reinterpret_cast<void*>(&GetVGAPPID_Num1)},
        {"GetVGAPPID_Num2", reinterpret_cast<void*>(&GetVGAPPID_Num2)},
        {"GetVGAPPID_Num3", reinterpret_cast<void*>(&GetVGAPPID_Num3)},
        {"MultiGetModleName", reinterpret_cast<void*>(&MultiGetModleName)},
        {"MultiGetVGAPPID_Num", reinterpret_cast<void*>(&MultiGetVGAPPID_Num)},
    };
    file.dllMain = &CardtagCrtEntry;
    return file;
}

// One of the eleven identity exports, by number, with the index for the two indexed ones.
enum class TextKind { PPID, ModelName, Count };
struct ExportCall {
    const char* szName;
    TextKind kind;
    int nAdapter;       // the adapter whose record the gate reads (-1: the count export)
    bool bPerAdapter;   // the per-adapter extraction (MultiGetVGAPPID) runs, not the adapter-0 one
    const char* (*pfnText)(void);
    const char* (*pfnIndexed)(int);
};

inline ExportCall ChooseExport(uint32_t nChoice, int nIndex) {
    switch (nChoice % 11) {
    case 0: return {"GetVGAModleName", TextKind::ModelName, 0, false, &GetVGAModleName, nullptr};
    case 1: return {"GetVGAPPID_Num", TextKind::PPID, 0, false, &GetVGAPPID_Num, nullptr};
    case 2: return {"GetVGAModleName1", TextKind::ModelName, 1, true, &GetVGAModleName1, nullptr};
    case 3: return {"GetVGAModleName2", TextKind::ModelName, 2, true, &GetVGAModleName2, nullptr};
    case 4: return {"GetVGAModleName3", TextKind::ModelName, 3, true, &GetVGAModleName3, nullptr};
    case 5: return {"GetVGAPPID_Num1", TextKind::PPID, 1, true, &GetVGAPPID_Num1, nullptr};
    case 6: return {"GetVGAPPID_Num2", TextKind::PPID, 2, true, &GetVGAPPID_Num2, nullptr};
    case 7: return {"GetVGAPPID_Num3", TextKind::PPID, 3, true, &GetVGAPPID_Num3, nullptr};
    case 8: return {"MultiGetModleName", TextKind::ModelName, nIndex, true, nullptr, &MultiGetModleName};
    case 9: return {"MultiGetVGAPPID_Num", TextKind::PPID, nIndex, true, nullptr, &MultiGetVGAPPID_Num};
    default: return {"GetTELOVGACard", TextKind::Count, -1, false, nullptr, nullptr};
    }
}

inline const char* CallText(const ExportCall& call) {
    return call.pfnText ? call.pfnText() : call.pfnIndexed(call.nAdapter);
}

// A text buffer of the library is NUL-terminated within its 61 bytes.
inline bool Terminated(const char (&sz)[kIdentityTextMax + 1]) {
    return std::memchr(sz, 0, sizeof sz) != nullptr;
}

}  // namespace fuzz
