// The simulated access driver, ATI library and wake-up program themselves: the ROM switch
// of each vendor, the buffer bounds of FindVGAChip and GetPcicfgAddr, the scenario format,
// and what the native registration hands to the loader.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "atipdlsim.h"
#include "hwaxsim.h"
#include "winstub.h"

namespace {

using hwaxsim::AdapterConfig;
using hwaxsim::Scenario;

class HwaxSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        winstub::Reset();
        hwaxsim::Configure(Scenario{});
    }

    // Configures the machine and maps every adapter into the slot of its index.
    static void Power(const Scenario& s) {
        hwaxsim::Configure(s);
        std::vector<VGA_CHIP> chips(16);
        for (uint32_t vendor : {kVendorNvidia, kVendorAti}) {
            int n = FindVGAChip(vendor, chips.data(), chips.size() * sizeof(VGA_CHIP));
            for (int i = 0; i < n; ++i) {
                for (size_t k = 0; k < s.adapters.size(); ++k) {
                    if (s.adapters[k].nBus != chips[i].nBus) continue;
                    GetVGAMMIOAddress(&chips[i], static_cast<int32_t>(k));
                    GetVGABIOSAddress(vendor, &chips[i], static_cast<int32_t>(k));
                }
            }
        }
        ASSERT_TRUE(hwaxsim::Notes().empty()) << hwaxsim::Notes()[0].sText;
    }

    static void WriteDefault(uint32_t offset, uint32_t value) {
        MMIO_WRITE_REQUEST r{{0xDEAD, 0xBEEF, 0xF00D}, value, offset};
        WriteMMIODword(&r);
    }
};

// Where the ROM signature can be read from, after a sequence of register writes on slot 0.
struct NvSwitchCase {
    const char* name;
    uint32_t chipReg;  // power-on value of 0xA00
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    bool visible;
};

TEST_F(HwaxSimTest, NvidiaRomShowsOnlyUnderTheSwitchRuleOfItsChip) {
    const NvSwitchCase cases[] = {
        {"power-on state hides the ROM", 0x0E4000A1, {}, false},
        {"new chip: bit 0 of 0x50 set", 0x0E4000A1, {{0x50, 0x1}}, true},
        {"new chip: 0x1850 cleared is the wrong switch", 0x0E4000A1, {{0x1850, 0}}, false},
        {"new chip: 0x50 set then cleared", 0x0E4000A1, {{0x50, 0x1}, {0x50, 0}}, false},
        {"new chip: only bit 1 of 0x50", 0x0E4000A1, {{0x50, 0x2}}, false},
        {"chip field 0xE0 exactly is new", 0x0E0000A1, {{0x1850, 0}}, false},
        {"old chip (0xDF): 0x1850 cleared", 0x0DF000A1, {{0x1850, 0}}, true},
        {"old chip: 0x50 is the wrong switch", 0x0DF000A1, {{0x50, 0x1}}, false},
        {"bits above 28 are not chip field", 0xE00000A1, {{0x1850, 0}}, true},
        {"old chip: restore writes 1 to 0x1850", 0x0C4000A1, {{0x1850, 0}, {0x1850, 1}}, false},
    };
    for (const NvSwitchCase& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterConfig a = hwaxsim::NvidiaAdapter(1);
        a.regs[0xA00] = c.chipReg;
        a.nLowPlacement = 0x400;
        a.bRomHigh = true;
        Scenario s;
        s.adapters = {a};
        Power(s);
        for (auto [offset, value] : c.writes) WriteDWORDVGAMMIOData(offset, value, 0);

        EXPECT_EQ(c.visible, hwaxsim::RomSwitchedIn(0));
        const uint32_t hidden = 0xFFFFFFFF;
        const uint32_t sig = 0x00 << 24 | 0x80 << 16 | 0xAA55;  // 55 AA 80 00
        EXPECT_EQ(c.visible ? sig : hidden, GetDWORDVGAMMIOData(0x300400, 0));
        EXPECT_EQ(c.visible ? sig : hidden, GetDWORDVGAMMIOData(0x700000, 0));
        EXPECT_EQ(hidden, GetDWORDVGAMMIOData(0x300200, 0)) << "below the placement";
        EXPECT_EQ(0x55u, GetBYTEVGABIOSData(0, 0)) << "BIOS window needs no switch on NVIDIA";
    }
}

struct AtiSwitchCase {
    const char* name;
    uint32_t reg1C0, reg1A0, reg198, reg19C, regC40;  // values written
    bool visible;
};

TEST_F(HwaxSimTest, AtiRomShowsOnlyWhileAllFiveRegistersHoldTheOpenValues) {
    // Power-on: 0x1C0 = 0x12345678, 0x19C = 0x80280000, 0x1A0 = 0x00C8A001,
    // 0x198 = 0x003F0F00, 0xC40 = 0x00A00100.
    const AtiSwitchCase cases[] = {
        {"open values", 0x08345678, 0x00080000, 0x00380000, 0x00280000, 0x00800100, true},
        {"0x1C0 top byte kept", 0x12345678, 0x00080000, 0x00380000, 0x00280000, 0x00800100, false},
        {"0x1C0 low bits lost", 0x08000000, 0x00080000, 0x00380000, 0x00280000, 0x00800100, false},
        {"0x1A0 not masked", 0x08345678, 0x00C8A001, 0x00380000, 0x00280000, 0x00800100, false},
        {"0x198 over-masked", 0x08345678, 0x00080000, 0x00000000, 0x00280000, 0x00800100, false},
        {"0x19C high bit kept", 0x08345678, 0x00080000, 0x00380000, 0x80280000, 0x00800100, false},
        {"0xC40 bit 21 kept", 0x08345678, 0x00080000, 0x00380000, 0x00280000, 0x00A00100, false},
        {"restored values", 0x12345678, 0x00C8A001, 0x003F0F00, 0x80280000, 0x00A00100, false},
    };
    for (const AtiSwitchCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        s.adapters = {hwaxsim::NvidiaAdapter(1), hwaxsim::AtiAdapter(2), hwaxsim::AtiAdapter(3)};
        Power(s);
        ASSERT_EQ(1, hwaxsim::DefaultAdapter()) << "the first ATI adapter";
        WriteDefault(0x1C0, c.reg1C0);
        WriteDefault(0x1A0, c.reg1A0);
        WriteDefault(0x198, c.reg198);
        WriteDefault(0x19C, c.reg19C);
        WriteDefault(0xC40, c.regC40);

        EXPECT_EQ(c.visible, hwaxsim::RomSwitchedIn(1));
        EXPECT_EQ(c.visible ? 0xAA55u : 0xFFFFu, ReadBIOSMMIOWord(0));
        EXPECT_EQ(c.visible ? 0xAA55u : 0xFFFFu, GetWORDVGABIOSData(0, 1));
        EXPECT_EQ(c.visible ? 0xAA55u : 0xFFFFu, GetDWORDVGAMMIOData(0x300000, 1) & 0xFFFF);
        EXPECT_EQ(c.reg1C0, ReadMMIODword(0x1C0));
        EXPECT_EQ(0xFFFFu, GetWORDVGABIOSData(0, 2)) << "the other ATI adapter stays switched out";
        EXPECT_EQ(0x12345678u, hwaxsim::Register(2, 0x1C0));
    }
    ASSERT_EQ(5u, hwaxsim::Writes().size());
    EXPECT_EQ("WriteMMIODword", hwaxsim::Writes()[0].sExport);
    EXPECT_EQ(-1, hwaxsim::Writes()[0].nSlot);
    EXPECT_EQ(0x1C0u, hwaxsim::Writes()[0].nOffset);
    EXPECT_EQ(0xC40u, hwaxsim::Writes()[4].nOffset);
}

TEST_F(HwaxSimTest, SleepingAtiAdapterAnswersAllOnesUntilTheWakeUpProgramRuns) {
    Scenario s;
    s.adapters = {hwaxsim::AtiAdapter(3), hwaxsim::AtiAdapter(5)};
    s.adapters[1].bAsleep = true;
    s.adapters[1].regs = s.adapters[0].regs = {{0x1C0, 0x08000000}};  // ROM switched in
    s.loadspin.nRunMs = 300;
    Power(s);
    hwaxsim::InstallLoadspin();

    uint32_t activity[10] = {40};
    uint32_t query[3] = {5, 0, 0};
    ASSERT_EQ(0, ATIDL_GetPMCurrentActivity(0, activity, query));
    EXPECT_EQ(0u, activity[1]);
    EXPECT_EQ(0xAC770009u, activity[9]) << "the whole 40-byte record is written";
    EXPECT_EQ(0xFFFFFFFFu, GetDWORDVGAMMIOData(0x1C0, 1));
    EXPECT_EQ(0xFFFFFFFFu, GetWORDVGABIOSData(0, 1));
    EXPECT_EQ(0xAA55u, GetWORDVGABIOSData(0, 0));

    char cmd[] = "loadspin.exe";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(pi.hProcess, 250));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(pi.hProcess, 100));
    EXPECT_EQ(1, hwaxsim::LoadspinRuns());
    EXPECT_EQ(0x08000000u, GetDWORDVGAMMIOData(0x1C0, 1));
    EXPECT_EQ(0xAA55u, GetWORDVGABIOSData(0, 1));
    ASSERT_EQ(0, ATIDL_GetPMCurrentActivity(0, activity, query));
    EXPECT_EQ(27u, activity[1]);

    // Records of the wrong size or a query naming no ATI adapter are refused untouched.
    uint32_t small[10] = {36, 0x1234};
    EXPECT_EQ(atipdlsim::kStatusInvalidParam, ATIDL_GetPMCurrentActivity(0, small, query));
    EXPECT_EQ(0x1234u, small[1]);
    uint32_t badQuery[3] = {5, 0, 1};
    EXPECT_EQ(atipdlsim::kStatusInvalidParam, ATIDL_GetPMCurrentActivity(0, activity, badQuery));
    uint32_t adapter[20] = {80};
    EXPECT_EQ(0, ATIDL_EnumPhysicalAdapters(0, 0, adapter));
    EXPECT_EQ(3u, adapter[1]);
    EXPECT_EQ(2u, hwaxsim::Notes().size());
}

struct FindCase {
    const char* name;
    int nNvidia;
    uint32_t cbSize;
    std::optional<int32_t> forced;
    int32_t nResult;
    size_t nWritten;
};

TEST_F(HwaxSimTest, FindVGAChipNeverWritesPastTheBuffer) {
    const FindCase cases[] = {
        {"two adapters", 2, 256, {}, 2, 2},
        {"nine adapters: eight fit", 9, 256, {}, 9, 8},
        {"room for one and a half", 3, 48, {}, 3, 1},
        {"no room", 2, 31, {}, 2, 0},
        {"forced 100", 2, 256, 100, 100, 2},
        {"forced -1", 2, 256, -1, -1, 2},
        {"forced 0", 2, 256, 0, 0, 2},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        s.adapters.push_back(hwaxsim::AtiAdapter(0x40));
        for (int i = 0; i < c.nNvidia; ++i) s.adapters.push_back(hwaxsim::NvidiaAdapter(0x10 + i));
        if (c.forced) s.findResult[kVendorNvidia] = *c.forced;
        hwaxsim::Configure(s);

        std::vector<uint8_t> buf(c.cbSize + 64, 0xCC);
        int32_t n = FindVGAChip(kVendorNvidia, reinterpret_cast<VGA_CHIP*>(buf.data()), c.cbSize);
        EXPECT_EQ(c.nResult, n);
        for (size_t k = 0; k < c.nWritten; ++k) {
            VGA_CHIP chip;
            std::memcpy(&chip, &buf[k * sizeof chip], sizeof chip);
            EXPECT_EQ(0x10 + k, chip.nBus);
            EXPECT_EQ(static_cast<uint32_t>(CARDTAG_BOARD_VENDOR_ID), chip.nSubVendorID);
        }
        for (size_t k = c.nWritten * sizeof(VGA_CHIP); k < buf.size(); ++k)
            ASSERT_EQ(0xCC, buf[k]) << "byte " << k;
    }
}

struct CfgCase {
    const char* name;
    uint32_t bus, first, dwords;
    bool served;
};

TEST_F(HwaxSimTest, ConfigurationReadsStayInsideTheSpaceAndTheRequest) {
    const CfgCase cases[] = {
        {"whole space", 1, 0, 64, true},
        {"tail", 1, 4, 63, true},
        {"one dword past the end", 1, 0, 65, false},
        {"offset start past the end", 1, 4, 64, false},
        {"misaligned start", 1, 2, 1, false},
        {"huge count", 1, 0, 0x40000001, false},
        {"absent device reads all ones", 7, 0, 64, true},
    };
    Scenario s;
    s.adapters = {hwaxsim::NvidiaAdapter(1)};
    hwaxsim::Configure(s);
    const auto& cfg = s.adapters[0].cfg;
    for (const CfgCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint32_t> dest(80, 0xCCCCCCCC);
        PCI_CFG_REQUEST r{c.bus, 0, 0, c.first, c.dwords, dest.data()};
        GetPcicfgAddr(&r);
        size_t n = c.served ? c.dwords : 0;
        for (size_t k = 0; k < dest.size(); ++k) {
            uint32_t expected = 0xCCCCCCCC;
            if (k < n && c.bus != 1) expected = 0xFFFFFFFF;
            if (k < n && c.bus == 1) std::memcpy(&expected, &cfg[c.first + 4 * k], 4);
            ASSERT_EQ(expected, dest[k]) << "dword " << k;
        }
    }
    // The default space: capability walk from 0x34 reaches PCI Express, link x16 at speed 2.
    uint8_t p = cfg[0x34];
    while (cfg[p] != 0x10) p = cfg[p + 1];
    EXPECT_EQ(0x02, cfg[p + 0x12]);
    EXPECT_EQ(0x01, cfg[p + 0x13]);
    EXPECT_EQ(2, cfg[p + 0x0C] & 7);
}

TEST_F(HwaxSimTest, ScenarioTextRoundTripsAndRejectsBadLines) {
    const char* text = R"(# two adapters
adapter.1.vendor = 0x1002
adapter.0.bus = 4
adapter.0.rom.size = 0x20000
adapter.0.rom.text.0x1FFC0 = "PP\x00\x00Model#PPID-1\r\n"   # upper layout
adapter.0.rom.bytes.0x200 = 50 50 4944
adapter.0.reg.0xA00 = 0x0C4000A1
adapter.0.cfg.bytes.0x34 = 40
adapter.0.rom_low.placement = 0x200
adapter.1.asleep = yes
adapter.1.bios_window = 0
hwax.find_result.0x10DE = 9
ati.first_bus = 2
loadspin.hangs = 1
)";
    Scenario s;
    std::string error;
    ASSERT_TRUE(hwaxsim::ParseScenario(text, s, &error)) << error;
    ASSERT_EQ(2u, s.adapters.size());
    const AdapterConfig& a = s.adapters[0];
    EXPECT_EQ(4u, a.nBus);
    EXPECT_EQ(0x20000u, a.rom.size());
    EXPECT_EQ(0x55, a.rom[0]) << "the default image is resized, not replaced";
    EXPECT_EQ(0, std::memcmp(&a.rom[0x1FFC0], "PP\0\0Model#PPID-1\r\n", 18));
    EXPECT_EQ(0, std::memcmp(&a.rom[0x200], "PPID", 4));
    EXPECT_EQ(0x0C4000A1u, a.regs.at(0xA00));
    EXPECT_EQ(1u, a.regs.at(0x1850)) << "vendor default kept";
    EXPECT_EQ(0x40, a.cfg[0x34]);
    EXPECT_EQ(kVendorAti, s.adapters[1].nVendorId);
    EXPECT_EQ(0x12345678u, s.adapters[1].regs.at(0x1C0)) << "ATI defaults, vendor named late";
    EXPECT_EQ(2u, s.adapters[1].nBus);
    EXPECT_TRUE(s.adapters[1].bAsleep);
    EXPECT_EQ(9, s.findResult.at(kVendorNvidia));
    EXPECT_TRUE(s.loadspin.bHangs);

    Scenario again;
    ASSERT_TRUE(hwaxsim::ParseScenario(hwaxsim::FormatScenario(s), again, &error)) << error;
    EXPECT_TRUE(again == s) << hwaxsim::FormatScenario(s);
    s.adapters[0].regs.erase(0x50);
    s.adapters[1].cfg.fill(0xFF);
    s.adapters[1].rom.assign(100, 'P');
    ASSERT_TRUE(hwaxsim::ParseScenario(hwaxsim::FormatScenario(s), again, &error)) << error;
    EXPECT_TRUE(again == s) << hwaxsim::FormatScenario(s);

    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"adapter.0.bus = 1\nadapter.0.colour = 3\n", "line 2"},
        {"adapter.0.rom.bytes.0xFFFF = 01 02\n", "past the end"},
        {"adapter.0.cfg.bytes.0xFE = 01 02 03\n", "past configuration"},
        {"adapter.1.bus = 1\n", "adapter 0 missing"},
        {"adapter.0.reg.0x51 = 1\n", "multiple of 4"},
        {"loadspin.hangs = maybe\n", "boolean"},
        {"hwax.find_result.0x10DE = 0x100000000\n", "signed"},
        {"just words\n", "line 1"},
        {"adapter.0.rom.file = /nonexistent/rom.bin\n", "cannot read"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.text);
        Scenario out;
        EXPECT_FALSE(hwaxsim::ParseScenario(b.text, out, &error));
        EXPECT_NE(std::string::npos, error.find(b.error)) << error;
    }
}

TEST_F(HwaxSimTest, RegistrationDropsChosenExportsAndRefusesLoadOnRequest) {
    Scenario s;
    s.adapters = {hwaxsim::AtiAdapter(1)};
    hwaxsim::Configure(s);
    hwaxsim::Install("C:\\Tools\\HWAX.DLL", {"ReadBIOSMMIOByte", "IsPCIE"});
    atipdlsim::Install(std::string(winstub::kSystemDir) + "\\atipdlxx.dll",
                       {"ATIDL_GetPMCurrentActivity"});
    HMODULE h = LoadLibraryA("C:\\Tools\\HWAX.DLL");
    ASSERT_NE(nullptr, h);
    for (const char* name : hwaxsim::kExportNames) {
        bool dropped = std::strcmp(name, "ReadBIOSMMIOByte") == 0 || std::strcmp(name, "IsPCIE") == 0;
        EXPECT_EQ(dropped, GetProcAddress(h, name) == nullptr) << name;
    }
    HMODULE hAti = LoadLibraryA("atipdlxx.dll");
    ASSERT_NE(nullptr, hAti);
    EXPECT_NE(nullptr, GetProcAddress(hAti, "ATIDL_EnumPhysicalAdapters"));
    EXPECT_EQ(nullptr, GetProcAddress(hAti, "ATIDL_GetPMCurrentActivity"));
    FreeLibrary(h);
    FreeLibrary(hAti);

    s.bLoadFails = true;
    s.ati.bLoadFails = true;
    hwaxsim::Configure(s);
    EXPECT_EQ(nullptr, LoadLibraryA("C:\\Tools\\HWAX.DLL"));
    EXPECT_EQ(nullptr, LoadLibraryA("atipdlxx.dll"));
    EXPECT_EQ(nullptr, winstub::FindLoaded("HWAX.DLL"));
}

TEST_F(HwaxSimTest, UnmappedSlotsAnswerAllOnesAndLeaveANote) {
    Scenario s;
    s.adapters = {hwaxsim::NvidiaAdapter(1)};
    s.dwHighBits = 0xABCDEF00;
    Power(s);
    EXPECT_EQ(0xABCDEF55u, GetBYTEVGABIOSData(0, 0)) << "unused upper bits as configured";
    EXPECT_EQ(0xFFFFFFFFu, GetBYTEVGAMMIOData(0x300000, 1));
    EXPECT_EQ(0xFFFFFFFFu, GetWORDVGABIOSData(0, 1));
    EXPECT_EQ(0, WriteDWORDVGAMMIOData(0x50, 1, 5));
    EXPECT_EQ(0u, hwaxsim::Register(0, 0x50));
    EXPECT_EQ(3u, hwaxsim::Notes().size());
    EXPECT_EQ(1u, hwaxsim::Writes().size()) << "a dropped write is still logged";
    EXPECT_EQ(1, hwaxsim::CallCount("GetBYTEVGAMMIOData"));
    EXPECT_EQ(2, hwaxsim::CallCount("GetBYTEVGABIOSData") + hwaxsim::CallCount("GetWORDVGABIOSData"));
}

}  // namespace
