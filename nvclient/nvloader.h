// Binds nvapi.dll at run time: finds it in the process or loads it from the system
// directory, resolves nvapi_QueryInterface, has the driver initialise itself, picks up
// the call hooks, and binds again when the module in the process is another image.
#pragma once

#include <windows.h>

#include "nvapi_contract.h"

struct NvLoaderState {
    CRITICAL_SECTION loaderLock;   // guards the first load; created on first use
    uint8_t loaderLockReady;
    uint8_t loadFailed;            // latched: loading from the system directory failed
    NvQueryInterfaceFn resolver;   // null before the first binding and after a failed one
    NvPreCallHookFn preCallHook;   // only ever both set or both null
    NvPostCallHookFn postCallHook;
    uint32_t bindCount;            // successful bindings; wrapper slots are stamped with it
    uint32_t moduleIdentity[2];    // CheckSum, TimeDateStamp of the image last bound or seen
    uint8_t identityRecorded;      // moduleIdentity holds a module's words, not the start value
};

extern NvLoaderState g_nvLoader;

NvAPI_Status NvAPI_Initialize();
NvAPI_Status acquireModule(HMODULE* phModule);
NvAPI_Status bindModule(HMODULE hModule);
bool moduleIdentityChanged(HMODULE hModule);
void recordModuleIdentity(HMODULE hModule);
HMODULE loadSystemLibrary(const char* szName, DWORD dwFlags);
