// The ROM window: which registers are rewritten, with what and in which order, and where a
// ROM byte is read from.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "cardtag_fixture.h"

namespace {

using cardtag_test::BindAdapters;

struct Write {
    std::string sExport;
    int32_t nSlot;
    uint32_t nOffset;
    uint32_t dwValue;
    bool operator==(const Write&) const = default;
};

void PrintTo(const Write& w, std::ostream* os) {
    *os << w.sExport << " slot " << w.nSlot << " [0x" << std::hex << w.nOffset << "] = 0x"
        << w.dwValue;
}

std::vector<Write> TakeWrites() {
    std::vector<Write> writes;
    for (const hwaxsim::LogEntry& e : hwaxsim::Writes())
        writes.push_back({e.sExport, e.nSlot, e.nOffset, e.dwValue});
    hwaxsim::ClearLog();
    return writes;
}

int DriverCalls() {
    int n = 0;
    for (const char* name : hwaxsim::kExportNames)
        n += hwaxsim::CallCount(name);
    return n;
}

class RomWindowTest : public cardtag_test::CardtagTest {};

TEST_F(RomWindowTest, AtiOpenRewritesFiveRegistersOfTheDefaultAdapterAndRestorePutsThemBack) {
    // Power-on values: 0x1C0 = 0x12345678, 0x19C = 0x80280000, 0x1A0 = 0x00C8A001,
    // 0x198 = 0x003F0F00, 0xC40 = 0x00A00100.
    hwaxsim::Scenario s;
    s.adapters = {hwaxsim::AtiAdapter(1), hwaxsim::AtiAdapter(2)};
    hwaxsim::Configure(s);
    BindAdapters(kVendorAti);

    EXPECT_EQ(1, g_VGAInfo.OpenRomWindow());
    EXPECT_EQ(5, hwaxsim::CallCount("ReadMMIODword"));
    EXPECT_EQ(TakeWrites(), (std::vector<Write>{
                                {"WriteMMIODword", -1, 0x1C0, 0x08345678},
                                {"WriteMMIODword", -1, 0x1A0, 0x00080000},
                                {"WriteMMIODword", -1, 0x198, 0x00380000},
                                {"WriteMMIODword", -1, 0x19C, 0x00280000},
                                {"WriteMMIODword", -1, 0xC40, 0x00800100},
                            }));
    EXPECT_TRUE(hwaxsim::RomSwitchedIn(0));

    EXPECT_EQ(1, g_VGAInfo.RestoreRomWindow());
    EXPECT_EQ(0, hwaxsim::CallCount("ReadMMIODword"));
    EXPECT_EQ(TakeWrites(), (std::vector<Write>{
                                {"WriteMMIODword", -1, 0x1C0, 0x12345678},
                                {"WriteMMIODword", -1, 0x1A0, 0x00C8A001},
                                {"WriteMMIODword", -1, 0x198, 0x003F0F00},
                                {"WriteMMIODword", -1, 0x19C, 0x80280000},
                                {"WriteMMIODword", -1, 0xC40, 0x00A00100},
                            }));
    EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));
    EXPECT_EQ(0x12345678u, hwaxsim::Register(0, 0x1C0));
}

struct NvidiaCase {
    const char* name;
    uint32_t dwBoot;    // register 0xA00
    uint32_t dwEnable;  // register 0x50 at power-on
    std::vector<Write> open;
    std::vector<Write> restore;
};

TEST_F(RomWindowTest, NvidiaSwitchDependsOnTheChipField) {
    const std::vector<NvidiaCase> cases = {
        {"field 0xD0: 0x1850 cleared, then set", 0x0D0000A1, 0,
         {{"WriteDWORDVGAMMIOData", 0, 0x1850, 0}},
         {{"WriteDWORDVGAMMIOData", 0, 0x1850, 1}}},
        {"bits above the field do not count", 0xE00000A1, 0,
         {{"WriteDWORDVGAMMIOData", 0, 0x1850, 0}},
         {{"WriteDWORDVGAMMIOData", 0, 0x1850, 1}}},
        {"field 0xE0: bit 0 of 0x50 set, then the whole word cleared", 0x0E0000A1, 0x300,
         {{"WriteDWORDVGAMMIOData", 0, 0x50, 0x301}},
         {{"WriteDWORDVGAMMIOData", 0, 0x50, 0}}},
        {"field 0x1FF", 0x1FF00000, 0,
         {{"WriteDWORDVGAMMIOData", 0, 0x50, 1}},
         {{"WriteDWORDVGAMMIOData", 0, 0x50, 0}}},
        {"bit 0 already set: nothing written at open", 0x0E4000A1, 0x05,
         {},
         {{"WriteDWORDVGAMMIOData", 0, 0x50, 0}}},
    };
    for (const NvidiaCase& c : cases) {
        SCOPED_TRACE(c.name);
        hwaxsim::AdapterConfig a = hwaxsim::NvidiaAdapter(1);
        a.regs[0xA00] = c.dwBoot;
        a.regs[0x50] = c.dwEnable;
        a.regs[0x1850] = 0;  // the open writes 0 whatever the register holds
        hwaxsim::Scenario s;
        s.adapters = {a};
        hwaxsim::Configure(s);
        cardtag_test::ResetLibraryState();
        BindAdapters(kVendorNvidia);

        g_VGAInfo.OpenRomWindow();
        EXPECT_EQ(TakeWrites(), c.open);
        EXPECT_TRUE(hwaxsim::RomSwitchedIn(0));
        g_VGAInfo.RestoreRomWindow();
        EXPECT_EQ(TakeWrites(), c.restore);
        EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));
    }
}

TEST_F(RomWindowTest, NvidiaSwitchesEveryAdapterOfTheTableThroughItsOwnSlot) {
    hwaxsim::AdapterConfig older = hwaxsim::NvidiaAdapter(1);
    older.regs[0xA00] = 0x0C0000A1;
    hwaxsim::Scenario s;
    s.adapters = {older, hwaxsim::NvidiaAdapter(2), hwaxsim::NvidiaAdapter(3)};
    hwaxsim::Configure(s);
    BindAdapters(kVendorNvidia);
    g_VGAInfo.m_nVGACount = 2;  // the third adapter is not in the table

    g_VGAInfo.OpenRomWindow();
    EXPECT_EQ(TakeWrites(), (std::vector<Write>{
                                {"WriteDWORDVGAMMIOData", 0, 0x1850, 0},
                                {"WriteDWORDVGAMMIOData", 1, 0x50, 1},
                            }));
    g_VGAInfo.RestoreRomWindow();
    EXPECT_EQ(TakeWrites(), (std::vector<Write>{
                                {"WriteDWORDVGAMMIOData", 0, 0x1850, 1},
                                {"WriteDWORDVGAMMIOData", 1, 0x50, 0},
                            }));
}

TEST_F(RomWindowTest, NvidiaRestoreLeavesAZeroEnableWordAlone) {
    hwaxsim::Scenario s;
    s.adapters = {hwaxsim::NvidiaAdapter(1)};  // chip field 0xE4, 0x50 = 0
    hwaxsim::Configure(s);
    BindAdapters(kVendorNvidia);

    g_VGAInfo.RestoreRomWindow();
    g_VGAInfo.RestoreRomWindow();
    EXPECT_TRUE(TakeWrites().empty());
}

struct UntouchedCase {
    const char* name;
    uint32_t nVendorId;
    int32_t nCount;  // table count left by discovery
    std::vector<std::string> omit;
};

TEST_F(RomWindowTest, NoRegisterIsTouchedWithoutAnAdapterOrWithAnIncompleteDriver) {
    const std::vector<UntouchedCase> cases = {
        {"ATI, no adapter found", kVendorAti, 0, {}},
        {"ATI, negative count", kVendorAti, -1, {}},
        {"NVIDIA, no adapter found", kVendorNvidia, 0, {}},
        {"driver not loaded", 0, 0, {}},
        {"ATI driver without WriteMMIODword", kVendorAti, 1, {"WriteMMIODword"}},
        {"NVIDIA driver without GetWORDVGABIOSData", kVendorNvidia, 1, {"GetWORDVGABIOSData"}},
    };
    for (const UntouchedCase& c : cases) {
        SCOPED_TRACE(c.name);
        winstub::Reset();
        hwaxsim::Scenario s;
        s.adapters = {hwaxsim::AtiAdapter(1), hwaxsim::NvidiaAdapter(2)};
        hwaxsim::Configure(s);
        cardtag_test::ResetLibraryState();
        if (c.nVendorId != 0) {
            hwaxsim::Install("C:\\Program Files\\vrmset\\HWAX.DLL", c.omit);
            ASSERT_EQ(1, g_VGAInfo.CPortIO::Init());
        }
        g_nVendorId = c.nVendorId;
        g_VGAInfo.m_nVGACount = c.nCount;
        hwaxsim::ClearLog();

        EXPECT_EQ(1, g_VGAInfo.OpenRomWindow());
        EXPECT_EQ(1, g_VGAInfo.RestoreRomWindow());
        EXPECT_EQ(0, DriverCalls());
        EXPECT_EQ(0x12345678u, hwaxsim::Register(0, 0x1C0));
    }
}

struct ReadCase {
    const char* name;
    bool bLow0, bHigh0, bLow1, bHigh1;
    int32_t nBIOSOffset;
    int nOffset;
    int nAdapter;
    int nExpected;
};

TEST_F(RomWindowTest, ReadRomByteReadsWhereTheAdaptersOwnFlagsSay) {
    // Adapter 0: ROM in the low window at placement 0x200. Adapter 1: ROM only in the high
    // window. Byte and word results carry junk in their upper bits.
    hwaxsim::AdapterConfig a0 = hwaxsim::NvidiaAdapter(1);
    a0.nLowPlacement = 0x200;
    hwaxsim::PutRomText(a0.rom, 0x10, "A0");
    hwaxsim::AdapterConfig a1 = hwaxsim::NvidiaAdapter(2);
    a1.bRomLow = false;
    a1.bRomHigh = true;
    hwaxsim::PutRomText(a1.rom, 0x10, "B1");
    hwaxsim::Scenario s;
    s.adapters = {a0, a1};
    s.dwHighBits = 0xABCDEF00;

    const std::vector<ReadCase> cases = {
        {"adapter 0, low window", true, false, false, false, 0x200, 0x10, 0, 'A'},
        {"adapter 1, its own high window", true, false, false, true, 0, 0x11, 1, '1'},
        {"the ROM offset applies to the high window too", false, false, false, true, 0x200,
         0x11 - 0x200, 1, '1'},
        {"high window before low", false, false, true, true, 0, 0x10, 1, 'B'},
        {"no flag: raw offset plus the ROM offset", false, false, false, false, 0x200, 0x800, 0,
         0xA1},
        {"no flag for adapter 1 although adapter 0 has one", true, false, false, false, 0x200,
         0x800, 1, 0xA1},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        hwaxsim::Configure(s);
        cardtag_test::ResetLibraryState();
        BindAdapters(kVendorNvidia);
        g_VGAInfo.m_bBiosLow[0] = c.bLow0;
        g_VGAInfo.m_bBiosHigh[0] = c.bHigh0;
        g_VGAInfo.m_bBiosLow[1] = c.bLow1;
        g_VGAInfo.m_bBiosHigh[1] = c.bHigh1;
        g_VGAInfo.m_nBIOSOffset = c.nBIOSOffset;

        g_VGAInfo.OpenRomWindow();
        EXPECT_EQ(c.nExpected, g_VGAInfo.ReadRomByte(c.nOffset, c.nAdapter));
        g_VGAInfo.RestoreRomWindow();
    }
}

}  // namespace
