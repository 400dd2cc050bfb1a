// Process-wide state of adapter discovery: the library's own binding of the GPU driver API
// (used to learn which NVIDIA adapter the driver counts first) and the ATI PowerPlay library
// with the display search (the same for ATI, and to wake a sleeping second adapter).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "../nvclient/nvapi_contract.h"

// One entry of the library's driver API table: the entry function and its interface ID.
// Each entry starts at a default function that returns g_nNvApiDefaultStatus.
struct NV_API_ENTRY {
    void* pfnEntry;
    uint32_t nId;  // 0 ends the table
};

constexpr int kNvApiEntryCount = 3;  // two functions and the end marker
extern NV_API_ENTRY g_NvApiEntries[kNvApiEntryCount];
constexpr int kNvApiEnumPhysicalGPUsEntry = 0;
constexpr int kNvApiGpuGetBusIdEntry = 1;

// What the entries hold until the driver resolves them: g_nNvApiDefaultStatus, whatever
// the arguments.
NvAPI_Status __cdecl NvApiDefaultEnumPhysicalGPUs(NvPhysicalGpuHandle* phGpus, uint32_t* pnCount);
NvAPI_Status __cdecl NvApiDefaultGpuGetBusId(NvPhysicalGpuHandle hGpu, uint32_t* pnBus);
extern NvAPI_Status g_nNvApiStatus;         // result of the last BindNvApi
extern NvAPI_Status g_nNvApiDefaultStatus;  // -4 until bound, -3 afterwards
extern NvPhysicalGpuHandle g_hNvApiGpu[NVAPI_MAX_PHYSICAL_GPUS];
extern uint32_t g_nNvApiGpuCount;

// Binds nvapi.dll for the library: 0 bound, -1 resolver or initialisation failed, -2 library
// not found.
NvAPI_Status BindNvApi();

// ATI PowerPlay library, atipdlxx.dll.
struct ATI_ADAPTER_RECORD {
    uint32_t dwSize;  // 80
    uint32_t nBus;    // PCI bus number of the adapter, on success
    uint32_t dwRest[18];
};
static_assert(sizeof(ATI_ADAPTER_RECORD) == 80);
static_assert(offsetof(ATI_ADAPTER_RECORD, nBus) == 4);

struct ATI_ACTIVITY_RECORD {
    uint32_t dwSize;     // 40
    uint32_t nActivity;  // 0: the adapter sleeps
    uint32_t dwRest[8];
};
static_assert(sizeof(ATI_ACTIVITY_RECORD) == 40);
static_assert(offsetof(ATI_ACTIVITY_RECORD, nActivity) == 4);

struct ATI_ACTIVITY_QUERY {
    uint32_t nBus;
    uint32_t nDevice;
    uint32_t nZero;
};
static_assert(sizeof(ATI_ACTIVITY_QUERY) == 12);

typedef int32_t(__cdecl* PFN_ATIDL_EnumPhysicalAdapters)(int32_t nDisplay, int32_t nReserved,
                                                         ATI_ADAPTER_RECORD* pAdapter);
typedef int32_t(__cdecl* PFN_ATIDL_GetPMCurrentActivity)(int32_t nDisplay,
                                                         ATI_ACTIVITY_RECORD* pActivity,
                                                         ATI_ACTIVITY_QUERY* pQuery);
typedef BOOL(WINAPI* PFN_EnumDisplayDevicesA)(LPCSTR lpDevice, DWORD iDevNum,
                                              PDISPLAY_DEVICEA lpDisplayDevice, DWORD dwFlags);

extern PFN_EnumDisplayDevicesA g_pfnEnumDisplayDevicesA;
extern int32_t g_nPrimaryDisplay;  // index of the primary display device, 0 until found
extern HMODULE g_hAtiPdl;
extern PFN_ATIDL_EnumPhysicalAdapters g_pfnAtiEnumPhysicalAdapters;
extern PFN_ATIDL_GetPMCurrentActivity g_pfnAtiGetPMCurrentActivity;
extern ATI_ADAPTER_RECORD g_AtiAdapter;

// The wake-up program, started from the host executable's folder.
constexpr char kWakeUpProgram[] = "loadspin.exe";
constexpr DWORD kWakeUpWaitMs = 1000;
