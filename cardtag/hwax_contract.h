// What the identity library relies on of the access driver HWAX.DLL: its 33 exports, in the
// order of the library's entry-point table and in the order they are looked up, and the
// records passed to them. Every argument and result is 32 bits wide, C calling convention.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr int kMaxAdapters = 8;
constexpr uint32_t kVendorNvidia = 0x10DE;
constexpr uint32_t kVendorAti = 0x1002;

// The driver's adapter record, written by FindVGAChip and handed back whole.
struct VGA_CHIP {
    uint32_t nBus;
    uint32_t nDevice;
    uint32_t dwDriver0[2];  // the driver's own
    uint32_t nSubVendorID;  // zero-extended 16-bit PCI subsystem vendor ID
    uint32_t dwDriver1[3];  // the driver's own
};
static_assert(sizeof(VGA_CHIP) == 32);
static_assert(offsetof(VGA_CHIP, nBus) == 0);
static_assert(offsetof(VGA_CHIP, nDevice) == 4);
static_assert(offsetof(VGA_CHIP, nSubVendorID) == 16);

// Bus link of one adapter, filled by BusTypeAndDataRate and by the capability walk.
struct BUS_INFO {
    uint32_t nBusType;   // 0 none, 1 AGP (rate from status), 2 AGP (rate from command), 4 PCIe
    uint32_t nDataRate;  // PCIe link width, or AGP rate multiplier
};
static_assert(sizeof(BUS_INFO) == 8);

// Request of GetPcicfgAddr: read nDwords dwords of configuration space into pDest.
struct PCI_CFG_REQUEST {
    uint32_t nBus;
    uint32_t nDevice;
    uint32_t nFunction;
    uint32_t nFirstRegister;
    uint32_t nDwords;
    uint32_t* pDest;  // a 32-bit address: both builds are 32-bit
};
static_assert(sizeof(PCI_CFG_REQUEST) == 24);
static_assert(offsetof(PCI_CFG_REQUEST, nDwords) == 16);
static_assert(offsetof(PCI_CFG_REQUEST, pDest) == 20);

// Request of WriteMMIODword: words 0-2 are not used by the library.
struct MMIO_WRITE_REQUEST {
    uint32_t dwReserved[3];
    uint32_t dwValue;
    uint32_t dwOffset;
};
static_assert(sizeof(MMIO_WRITE_REQUEST) == 20);
static_assert(offsetof(MMIO_WRITE_REQUEST, dwValue) == 12);
static_assert(offsetof(MMIO_WRITE_REQUEST, dwOffset) == 16);

// Entry points the library calls.
typedef int32_t(__cdecl* PFN_FindVGAChip)(uint32_t nVendorId, VGA_CHIP* pChips, uint32_t cbSize);
typedef int32_t(__cdecl* PFN_GetVGAMMIOAddress)(VGA_CHIP* pChip, int32_t nAdapter);
typedef int32_t(__cdecl* PFN_GetVGABIOSAddress)(uint32_t nVendorId, VGA_CHIP* pChip, int32_t nAdapter);
typedef int32_t(__cdecl* PFN_BusTypeAndDataRate)(BUS_INFO* pBusInfo);
typedef int32_t(__cdecl* PFN_GetPcicfgAddr)(PCI_CFG_REQUEST* pRequest);
typedef uint32_t(__cdecl* PFN_GetDWORDVGAMMIOData)(uint32_t nOffset, int32_t nAdapter);
typedef uint32_t(__cdecl* PFN_GetBYTEVGAMMIOData)(uint32_t nOffset, int32_t nAdapter);
typedef int32_t(__cdecl* PFN_WriteDWORDVGAMMIOData)(uint32_t nOffset, uint32_t dwValue, int32_t nAdapter);
typedef uint32_t(__cdecl* PFN_ReadMMIODword)(uint32_t nOffset);
typedef int32_t(__cdecl* PFN_WriteMMIODword)(MMIO_WRITE_REQUEST* pRequest);
typedef uint32_t(__cdecl* PFN_ReadBIOSMMIOWord)(uint32_t nOffset);
typedef uint32_t(__cdecl* PFN_ReadBIOSMMIOByte)(uint32_t nOffset);
typedef uint32_t(__cdecl* PFN_GetWORDVGABIOSData)(uint32_t nOffset, int32_t nAdapter);
typedef uint32_t(__cdecl* PFN_GetBYTEVGABIOSData)(uint32_t nOffset, int32_t nAdapter);
// Entry points that are bound and never called; their arguments are the driver's business.
typedef int32_t(__cdecl* PFN_Unused)(void);

// The entry-point table, in member order. Member names are the export names.
struct HWAX_ENTRIES {
    PFN_Unused WriteI2CByte;
    PFN_Unused WriteI2C;
    PFN_Unused ReadI2CByte;
    PFN_Unused ReadI2C;
    PFN_Unused DetectI2CDevice;
    PFN_FindVGAChip FindVGAChip;
    PFN_Unused DefinePort;
    PFN_Unused DefineBaseAddr9X;
    PFN_Unused GetMapAddress;
    PFN_ReadMMIODword ReadMMIODword;
    PFN_WriteMMIODword WriteMMIODword;
    PFN_Unused ReadMMIOWord;
    PFN_Unused WriteMMIOWord;
    PFN_Unused ReadMMIOByte;
    PFN_Unused WriteMMIOByte;
    PFN_Unused IsAGP30;
    PFN_Unused IsPCIE;
    PFN_Unused ReadBIOSMMIODword;
    PFN_ReadBIOSMMIOWord ReadBIOSMMIOWord;
    PFN_ReadBIOSMMIOByte ReadBIOSMMIOByte;
    PFN_BusTypeAndDataRate BusTypeAndDataRate;
    PFN_GetPcicfgAddr GetPcicfgAddr;
    PFN_GetVGAMMIOAddress GetVGAMMIOAddress;
    PFN_GetVGABIOSAddress GetVGABIOSAddress;
    PFN_GetDWORDVGAMMIOData GetDWORDVGAMMIOData;
    PFN_Unused GetWORDVGAMMIOData;
    PFN_GetBYTEVGAMMIOData GetBYTEVGAMMIOData;
    PFN_WriteDWORDVGAMMIOData WriteDWORDVGAMMIOData;
    PFN_Unused WriteWORDVGAMMIOData;
    PFN_Unused WriteBYTEVGAMMIOData;
    PFN_Unused GetDWORDVGABIOSData;
    PFN_GetWORDVGABIOSData GetWORDVGABIOSData;
    PFN_GetBYTEVGABIOSData GetBYTEVGABIOSData;
};
static_assert(sizeof(HWAX_ENTRIES) == 33 * 4);
static_assert(offsetof(HWAX_ENTRIES, FindVGAChip) == 5 * 4);
static_assert(offsetof(HWAX_ENTRIES, ReadBIOSMMIODword) == 17 * 4);
static_assert(offsetof(HWAX_ENTRIES, GetBYTEVGABIOSData) == 32 * 4);

// The 33 export names in the order the binding looks them up.
constexpr const char* kHwaxLookupOrder[33] = {
    "DefinePort",          "FindVGAChip",          "GetMapAddress",         "WriteI2CByte",
    "WriteI2C",            "ReadI2CByte",          "ReadI2C",               "DetectI2CDevice",
    "ReadMMIODword",       "WriteMMIODword",       "ReadMMIOWord",          "WriteMMIOWord",
    "ReadMMIOByte",        "WriteMMIOByte",        "IsAGP30",               "IsPCIE",
    "DefineBaseAddr9X",    "ReadBIOSMMIODword",    "ReadBIOSMMIOWord",      "ReadBIOSMMIOByte",
    "BusTypeAndDataRate",  "GetPcicfgAddr",        "GetVGAMMIOAddress",     "GetVGABIOSAddress",
    "GetDWORDVGAMMIOData", "GetWORDVGAMMIOData",   "GetBYTEVGAMMIOData",    "WriteDWORDVGAMMIOData",
    "WriteWORDVGAMMIOData", "WriteBYTEVGAMMIOData", "GetDWORDVGABIOSData",  "GetWORDVGABIOSData",
    "GetBYTEVGABIOSData",
};
