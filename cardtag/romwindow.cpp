// The BIOS ROM window: switching an adapter's video ROM into reach of its register window,
// switching it back, and reading ROM bytes through that window.
//
// ATI adapters are switched on the access driver's default adapter with five register
// rewrites; NVIDIA adapters get one ROM-enable write each.
#include "vgainfo.h"

namespace {

// ATI: the five registers that gate the ROM, in the order they are saved.
constexpr uint32_t kAtiReg1C0 = 0x1C0;
constexpr uint32_t kAtiReg19C = 0x19C;
constexpr uint32_t kAtiReg1A0 = 0x1A0;
constexpr uint32_t kAtiReg198 = 0x198;
constexpr uint32_t kAtiRegC40 = 0xC40;

// NVIDIA: chip generation field of the boot register, and the two ROM-enable registers.
constexpr uint32_t kNvRegBoot = 0xA00;
constexpr uint32_t kNvChipFieldMask = 0x1FF00000;
constexpr uint32_t kNvChipFieldNewRomEnable = 0x0E000000;  // chip field 0xE0 and later
constexpr uint32_t kNvRegRomShadow = 0x1850;  // older chips: 0 lets the ROM through, 1 closes it
constexpr uint32_t kNvRegRomEnable = 0x50;    // newer chips: bit 0 lets the ROM through

// Where the ROM image answers inside an adapter's register window.
constexpr uint32_t kRomWindowHigh = 0x700000;
constexpr uint32_t kRomWindowLow = 0x300000;

// What an ATI open found in the five registers; the restore writes these back. Overwritten by
// every ATI open, so an open must be followed by its restore before the next open.
struct ATI_SAVED_REGS {
    uint32_t dw1C0;
    uint32_t dw19C;
    uint32_t dw1A0;
    uint32_t dw198;
    uint32_t dwC40;
};
ATI_SAVED_REGS g_AtiSavedRegs;

// A register write on the driver's default adapter. The first three request words are not
// used by the driver.
void WriteDefaultAdapterRegister(CVGAInfo& info, uint32_t nOffset, uint32_t dwValue) {
    MMIO_WRITE_REQUEST request = {};
    request.dwValue = dwValue;
    request.dwOffset = nOffset;
    info.m_Entry.WriteMMIODword(&request);
}

// Adapters the window is switched for: those in the table, never more than it holds.
int WindowAdapterCount(const CVGAInfo& info) {
    return info.m_nVGACount < kMaxAdapters ? info.m_nVGACount : kMaxAdapters;
}

// With no adapter found, or a driver that cannot serve every call the library makes, no
// register is touched: on ATI the writes would land on whatever device the driver took as
// its default.
bool CanSwitchWindow(const CVGAInfo& info) {
    return info.m_nVGACount >= 1 && info.HasRequiredEntries();
}

bool IsOlderNvidiaChip(CVGAInfo& info, int nAdapter) {
    uint32_t dwBoot = info.m_Entry.GetDWORDVGAMMIOData(kNvRegBoot, nAdapter);
    return (dwBoot & kNvChipFieldMask) < kNvChipFieldNewRomEnable;
}

}  // namespace

int CVGAInfo::OpenRomWindow() {
    if (!CanSwitchWindow(*this))
        return 1;

    if (g_nVendorId == kVendorAti) {
        g_AtiSavedRegs.dw1C0 = m_Entry.ReadMMIODword(kAtiReg1C0);
        g_AtiSavedRegs.dw19C = m_Entry.ReadMMIODword(kAtiReg19C);
        g_AtiSavedRegs.dw1A0 = m_Entry.ReadMMIODword(kAtiReg1A0);
        g_AtiSavedRegs.dw198 = m_Entry.ReadMMIODword(kAtiReg198);
        g_AtiSavedRegs.dwC40 = m_Entry.ReadMMIODword(kAtiRegC40);

        // Top byte of 0x1C0 becomes 0x08, the next three keep only bits 19-21, and 0xC40
        // loses bit 21.
        WriteDefaultAdapterRegister(*this, kAtiReg1C0,
                                    (g_AtiSavedRegs.dw1C0 & 0x00FFFFFF) | 0x08000000);
        WriteDefaultAdapterRegister(*this, kAtiReg1A0, g_AtiSavedRegs.dw1A0 & 0x00380000);
        WriteDefaultAdapterRegister(*this, kAtiReg198, g_AtiSavedRegs.dw198 & 0x00380000);
        WriteDefaultAdapterRegister(*this, kAtiReg19C, g_AtiSavedRegs.dw19C & 0x00380000);
        WriteDefaultAdapterRegister(*this, kAtiRegC40, g_AtiSavedRegs.dwC40 & 0xFFDFFFFF);
        return 1;
    }

    for (int i = 0; i < WindowAdapterCount(*this); ++i) {
        if (IsOlderNvidiaChip(*this, i)) {
            m_Entry.WriteDWORDVGAMMIOData(kNvRegRomShadow, 0, i);
        } else {
            uint32_t dwEnable = m_Entry.GetDWORDVGAMMIOData(kNvRegRomEnable, i);
            if ((dwEnable & 1) == 0)
                m_Entry.WriteDWORDVGAMMIOData(kNvRegRomEnable, dwEnable | 1, i);
        }
    }
    return 1;
}

int CVGAInfo::RestoreRomWindow() {
    if (!CanSwitchWindow(*this))
        return 1;

    if (g_nVendorId == kVendorAti) {
        WriteDefaultAdapterRegister(*this, kAtiReg1C0, g_AtiSavedRegs.dw1C0);
        WriteDefaultAdapterRegister(*this, kAtiReg1A0, g_AtiSavedRegs.dw1A0);
        WriteDefaultAdapterRegister(*this, kAtiReg198, g_AtiSavedRegs.dw198);
        WriteDefaultAdapterRegister(*this, kAtiReg19C, g_AtiSavedRegs.dw19C);
        WriteDefaultAdapterRegister(*this, kAtiRegC40, g_AtiSavedRegs.dwC40);
        return 1;
    }

    for (int i = 0; i < WindowAdapterCount(*this); ++i) {
        if (IsOlderNvidiaChip(*this, i)) {
            m_Entry.WriteDWORDVGAMMIOData(kNvRegRomShadow, 1, i);
        } else {
            // The whole word is cleared, not only the enable bit; a zero word is left alone.
            if (m_Entry.GetDWORDVGAMMIOData(kNvRegRomEnable, i) != 0)
                m_Entry.WriteDWORDVGAMMIOData(kNvRegRomEnable, 0, i);
        }
    }
    return 1;
}

int CVGAInfo::ReadRomByte(int nOffset, int nAdapter) {
    if (!HasRequiredEntries())
        return 0xFF;  // nothing answers: read as an empty bus

    // Each adapter is read where discovery found its own ROM. An index outside the table has
    // no flags and is read at the raw offset.
    uint32_t nAddress = static_cast<uint32_t>(nOffset) + static_cast<uint32_t>(m_nBIOSOffset);
    bool bInTable = nAdapter >= 0 && nAdapter < kMaxAdapters;
    if (bInTable && m_bBiosHigh[nAdapter])
        nAddress += kRomWindowHigh;
    else if (bInTable && m_bBiosLow[nAdapter])
        nAddress += kRomWindowLow;
    return static_cast<int>(m_Entry.GetBYTEVGAMMIOData(nAddress, nAdapter) & 0xFF);
}
