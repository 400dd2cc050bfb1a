// CPortIO: loads the access driver from the host executable's folder and holds its entry
// points and the adapter data that discovery fills.
#pragma once

#include <windows.h>

#include "hwax_contract.h"

class CPortIO {
public:
    CPortIO() {}  // sets nothing: the global instance lives in zeroed static storage
    ~CPortIO();

    // Binds the access driver: 1 when its module was loaded, 0 otherwise.
    virtual int Init();

    // True when every entry point the library calls is present.
    bool HasRequiredEntries() const;

    HWAX_ENTRIES m_Entry;
    HMODULE m_hDriver;
    VGA_CHIP m_VGAChip[kMaxAdapters];
    BUS_INFO m_BusInfo[kMaxAdapters];
    uint8_t m_PciCfg[kMaxAdapters][256];
    BOOL m_bIsWow64;
    BOOL m_bSkipPciCfg;  // cleared with m_bIsWow64 and never set
    int32_t m_nVGACount;
    int32_t m_nBIOSOffset;
};

// PCI vendor ID of the adapters in the table: 0x10DE, 0x1002, or 0 before discovery.
extern uint32_t g_nVendorId;

// Writes into szPath (cchPath bytes) the full path of szFileName in the host executable's
// folder. FALSE, with szPath empty, when the host path cannot be read whole, holds no
// backslash, or the result does not fit.
BOOL BuildHostFolderPath(char* szPath, DWORD cchPath, const char* szFileName);
