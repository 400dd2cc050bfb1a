// Native model of loading and unloading cardtag.dll, shared by the unit tests and the fuzz
// targets (no test framework here).
//
// The library's state is one global object, g_VGAInfo, plus a few process-wide values, all
// zero before the library is loaded. A native process has one copy of them for all tests, so
// ResetLibraryState puts them back into that state: it ends the object's life without
// releasing anything (the stand-in's handles of an earlier test mean nothing any more),
// zeroes its storage and constructs it again, which is what a fresh load of the DLL sees.
//
// LoadCardtag() registers cardtag.dll in the host's folder with the Win32 stand-in and loads
// it. The module's entry is what the MinGW C runtime does around DllMain: construct the
// static object, call DllMain; on a failed attach, or at the detach, call DllMain with the
// detach and destroy the object (whose destructor releases the access driver).
#pragma once

#include <cstring>
#include <new>
#include <string>

#include "classlib.h"
#include "discovery.h"
#include "exports.h"
#include "vgainfo.h"
#include "winstub.h"

namespace cardtag_test {

inline constexpr const char* kCardtagPath = "C:\\Program Files\\vrmset\\cardtag.dll";

// Whether g_VGAInfo is alive: the native runtime constructed it before the tests, and the
// modelled C runtime destroys it when the library is unloaded.
inline bool g_bObjectAlive = true;

inline void DestroyObject() {
    g_VGAInfo.~CVGAInfo();
    g_bObjectAlive = false;
}

// Puts the library's process-wide state back to what a process sees before the load.
inline void ResetLibraryState() {
    if (g_bObjectAlive) {
        g_VGAInfo.m_hDriver = nullptr;  // nothing of an earlier test is released here
        DestroyObject();
    }
    std::memset(static_cast<void*>(&g_VGAInfo), 0, sizeof(g_VGAInfo));
    // The constructor sets nothing, so the object keeps these zeros, as in the static storage
    // of a freshly mapped DLL. The barrier keeps an optimising compiler from dropping the
    // zeroing as a store into an object whose life has not begun yet.
    asm volatile("" : : "r"(&g_VGAInfo) : "memory");
    new (&g_VGAInfo) CVGAInfo;
    g_bObjectAlive = true;
    g_nVendorId = 0;
    g_bBiosMMIO = FALSE;
    g_ExtensionModule = AFX_EXTENSION_MODULE{};
    // Discovery's own bindings of the driver API and the ATI library.
    g_NvApiEntries[kNvApiEnumPhysicalGPUsEntry] = {
        reinterpret_cast<void*>(&NvApiDefaultEnumPhysicalGPUs), kNvIdEnumPhysicalGPUs};
    g_NvApiEntries[kNvApiGpuGetBusIdEntry] = {reinterpret_cast<void*>(&NvApiDefaultGpuGetBusId),
                                              kNvIdGpuGetBusId};
    g_nNvApiStatus = 0;
    g_nNvApiDefaultStatus = -4;
    std::memset(g_hNvApiGpu, 0, sizeof(g_hNvApiGpu));
    g_nNvApiGpuCount = 0;
    g_pfnEnumDisplayDevicesA = nullptr;
    g_nPrimaryDisplay = 0;
    g_hAtiPdl = nullptr;
    g_pfnAtiEnumPhysicalAdapters = nullptr;
    g_pfnAtiGetPMCurrentActivity = nullptr;
    g_AtiAdapter = {};
}

// The DLL entry of cardtag.dll as the C runtime runs it.
inline BOOL CrtDllEntry(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        ResetLibraryState();  // static storage of a freshly mapped image, then construction
        if (DllMain(hInstance, dwReason, lpReserved))
            return TRUE;
        // A failed attach: the runtime undoes the static construction at once.
        DllMain(hInstance, DLL_PROCESS_DETACH, lpReserved);
        DestroyObject();
        return FALSE;
    }
    if (dwReason == DLL_PROCESS_DETACH && g_bObjectAlive) {
        DllMain(hInstance, dwReason, lpReserved);
        DestroyObject();
    }
    return TRUE;
}

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
    file.dllMain = &CrtDllEntry;
    return file;
}

// Registers cardtag.dll beside the host and loads it: null when the load failed.
inline HMODULE LoadCardtag() {
    winstub::AddFile(CardtagFile());
    return LoadLibraryA(kCardtagPath);
}

}  // namespace cardtag_test
