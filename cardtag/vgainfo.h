// CVGAInfo: adapter discovery, the ROM window and the identity extraction, on the single
// global instance g_VGAInfo.
#pragma once

#include "classlib.h"
#include "portio.h"

constexpr int kIdentityTextMax = 60;

struct BIOS_INFO {
    char szBIOSModelName[kIdentityTextMax + 1];
    char szBIOSPPID[kIdentityTextMax + 1];
};

class CVGAInfo : public CPortIO {
public:
    CVGAInfo() {}

    // Discovery: binds the driver, finds, orders and maps the adapters, reads their bus
    // links and probes where each ROM answers. Returns the adapter count (0 when the driver
    // could not be bound).
    int Init() override;

    // ROM window (switch the ROM into the register window and back).
    int OpenRomWindow();
    int RestoreRomWindow();
    int ReadRomByte(int nOffset, int nAdapter);

    // Identity extraction for adapter 0 and for adapter nAdapter.
    int GetVGAPPID(CString& strPPID);
    int MultiGetVGAPPID(CString& strPPID, int nAdapter);

    BOOL m_bBiosLow[kMaxAdapters];   // ROM answers at 0x300000 + m_nBIOSOffset
    BOOL m_bBiosHigh[kMaxAdapters];  // ROM answers at 0x700000 (NVIDIA)
    BIOS_INFO m_BINFO;
    PCI_CFG_REQUEST m_PciCfgReq;
    uint32_t m_PciCfgBuf[64];
    uint32_t m_nLinkSpeedMax[kMaxAdapters];
    uint32_t m_nLinkSpeed[kMaxAdapters];
};

extern CVGAInfo g_VGAInfo;
extern BOOL g_bBiosMMIO;  // an adapter's ROM answered only through the BIOS window

// The board maker's PCI subsystem vendor ID; the identity exports answer only for it.
constexpr uint32_t kBoardVendorId = CARDTAG_BOARD_VENDOR_ID;
static_assert(kBoardVendorId <= 0xFFFF, "a PCI subsystem vendor ID is 16 bits");
