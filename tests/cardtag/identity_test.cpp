// Identity extraction: the two fixed-offset layouts of ATI boards and the "PPID" marker scan,
// through both extractions, with the debug boxes of the per-adapter one.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "cardtag_fixture.h"

namespace {

using namespace std::string_literals;
using cardtag_test::BindAdapters;

const std::string M60(60, 'M');  // a model name of the full 60 characters
const std::string P70 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+-*/=%&$";
const std::string P60 = P70.substr(0, 60);

constexpr const char* kUntouched = "text before the call";

struct Outcome {
    int nResult;
    std::string sModel;
    std::string sPPID;
    std::string sOut;
};

enum class Extraction { Adapter0, PerAdapter };

const char* NameOf(Extraction e) {
    return e == Extraction::Adapter0 ? "GetVGAPPID" : "MultiGetVGAPPID(0)";
}

// Runs one extraction with texts of an earlier run still in the buffers.
Outcome Extract(Extraction e, int nAdapter = 0) {
    std::strcpy(g_VGAInfo.m_BINFO.szBIOSModelName, "stale model");
    std::strcpy(g_VGAInfo.m_BINFO.szBIOSPPID, "stale PPID");
    CString strOut(kUntouched);
    int nResult = e == Extraction::Adapter0 ? g_VGAInfo.GetVGAPPID(strOut)
                                            : g_VGAInfo.MultiGetVGAPPID(strOut, nAdapter);
    return {nResult, g_VGAInfo.m_BINFO.szBIOSModelName, g_VGAInfo.m_BINFO.szBIOSPPID,
            static_cast<const char*>(strOut)};
}

using Placements = std::vector<std::pair<uint32_t, std::string>>;

std::vector<uint8_t> RomWith(uint32_t nSize, const Placements& texts, int nFill = -1) {
    std::vector<uint8_t> rom = hwaxsim::DefaultRom();
    if (nFill >= 0)
        rom.assign(rom.size(), static_cast<uint8_t>(nFill));
    rom.resize(nSize, nFill >= 0 ? static_cast<uint8_t>(nFill) : 0);
    for (const auto& [nOffset, sText] : texts)
        hwaxsim::PutRomText(rom, nOffset, sText);
    return rom;
}

// One adapter of the vendor with this ROM, bound and mapped; on NVIDIA its ROM is read
// through the low register window, where it answers.
void OneAdapterMachine(uint32_t nVendorId, std::vector<uint8_t> rom, bool bBiosMMIO) {
    hwaxsim::AdapterConfig a =
        nVendorId == kVendorAti ? hwaxsim::AtiAdapter(1) : hwaxsim::NvidiaAdapter(1);
    a.rom = std::move(rom);
    hwaxsim::Scenario s;
    s.adapters = {a};
    hwaxsim::Configure(s);
    cardtag_test::ResetLibraryState();
    BindAdapters(nVendorId);
    g_VGAInfo.m_bBiosLow[0] = TRUE;
    g_bBiosMMIO = bBiosMMIO;
}

struct Box {
    std::string sText;
    std::string sCaption;
    bool operator==(const Box&) const = default;
};

void PrintTo(const Box& b, std::ostream* os) { *os << '"' << b.sText << "\" / \"" << b.sCaption << '"'; }

// Message boxes since the last call; every one without owner and with MB_OK.
std::vector<Box> TakeBoxes() {
    std::vector<Box> boxes;
    for (const winstub::Event& e : winstub::Events(winstub::EventKind::MessageBox)) {
        EXPECT_EQ(0u, e.a) << "style of " << e.text;
        EXPECT_EQ(0u, e.b) << "owner of " << e.text;
        boxes.push_back({e.text, e.caption});
    }
    winstub::ClearTrace();
    return boxes;
}

class IdentityTest : public cardtag_test::CardtagTest {};

struct FixedCase {
    const char* name;
    bool bBiosMMIO;
    uint32_t nRomSize;
    Placements texts;
    int nResult;
    std::string sModel;
    std::string sPPID;
    const char* szOut;  // null: the out text is untouched
};

TEST_F(IdentityTest, AtiFixedOffsetLayouts) {
    const std::vector<FixedCase> cases = {
        {"lower layout", false, 0x10000, {{0xFF00, "PP??Model 7#PPID-12345\r\n"}},
         1, "Model 7", "PPID-12345", "PPID-12345"},
        {"'#' at 0xFF04: empty model name", false, 0x10000, {{0xFF00, "PP??#ABCDEFGHIJ\r\n"}},
         1, "", "ABCDEFGHIJ", "ABCDEFGHIJ"},
        {"60-character model name, '#' at 0xFF40", false, 0x10000,
         {{0xFF00, "PP??" + M60 + "#XY\r\n"}}, 1, M60, "XY", "XY"},
        {"no '#' within reach: 60 bytes of model, empty PPID", false, 0x10000,
         {{0xFF00, "PP??" + M60 + "ZXY\r\n"}}, 1, M60, "", ""},
        {"70-character PPID cut at 60", false, 0x10000, {{0xFF00, "PP??Mdl#" + P70 + "\r\n"}},
         1, "Mdl", P60, P60.c_str()},
        {"line without CR LF cut at 60", false, 0x10000, {{0xFF00, "PP??Mdl#" + P70}},
         1, "Mdl", P60, P60.c_str()},
        {"lone LF ends the PPID", false, 0x10000, {{0xFF00, "PP??Mdl#AB\nCD\r\n"}},
         1, "Mdl", "AB", "AB"},
        {"lone CR ends the PPID", false, 0x10000, {{0xFF00, "PP??Mdl#AB\rCD\r\n"}},
         1, "Mdl", "AB", "AB"},
        {"CR LF right after '#'", false, 0x10000, {{0xFF00, "PP??Mdl#\r\nAB\r\n"}},
         1, "Mdl", "", ""},
        {"upper layout", false, 0x20100, {{0x1FFC0, "PP??Up#UPPER-1\r\n"}},
         1, "Up", "UPPER-1", "UPPER-1"},
        {"upper layout with '#' at 0x20000", false, 0x20100,
         {{0x1FFC0, "PP??" + M60 + "#U2\r\n"}}, 1, M60, "U2", "U2"},
        {"upper layout not looked for with the BIOS-window flag", true, 0x20100,
         {{0x1FFC0, "PP??Up#UPPER-1\r\n"}}, 1, "", "", nullptr},
        {"lower layout before the upper one", false, 0x20100,
         {{0xFF00, "PP??Low#L-1\r\n"}, {0x1FFC0, "PP??Up#U-1\r\n"}}, 1, "Low", "L-1", "L-1"},
        {"lower layout with the BIOS-window flag", true, 0x10000, {{0xFF00, "PP??Low#L-1\r\n"}},
         1, "Low", "L-1", "L-1"},
        {"no marker", false, 0x20100, {{0xFF00, "PQ??Low#L-1\r\n"}}, 1, "", "", nullptr},
        {"no ROM signature", false, 0x10000, {{0, "\x55\xAB"}, {0xFF00, "PP??Low#L-1\r\n"}},
         0, "", "", nullptr},
    };
    for (Extraction e : {Extraction::Adapter0, Extraction::PerAdapter}) {
        for (const FixedCase& c : cases) {
            SCOPED_TRACE(std::string(NameOf(e)) + ": " + c.name);
            OneAdapterMachine(kVendorAti, RomWith(c.nRomSize, c.texts), c.bBiosMMIO);
            Outcome o = Extract(e);
            EXPECT_EQ(c.nResult, o.nResult);
            EXPECT_EQ(c.sModel, o.sModel);
            EXPECT_EQ(c.sPPID, o.sPPID);
            EXPECT_EQ(c.szOut ? c.szOut : kUntouched, o.sOut);
            EXPECT_FALSE(hwaxsim::RomSwitchedIn(0)) << "window left open";
        }
    }
}

TEST_F(IdentityTest, AtiReadersOfEachExtraction) {
    // The adapter-0 extraction reads the driver's default BIOS window; the per-adapter one
    // reads the adapter's own BIOS slot, after one discarded byte.
    OneAdapterMachine(kVendorAti, RomWith(0x10000, {{0xFF00, "PP??Mdl#ID\r\n"}}), false);
    Extract(Extraction::Adapter0);
    EXPECT_GT(hwaxsim::CallCount("ReadBIOSMMIOWord"), 0);
    EXPECT_GT(hwaxsim::CallCount("ReadBIOSMMIOByte"), 0);
    EXPECT_EQ(0, hwaxsim::CallCount("GetWORDVGABIOSData") + hwaxsim::CallCount("GetBYTEVGABIOSData"));

    hwaxsim::ClearLog();
    Extract(Extraction::PerAdapter);
    EXPECT_EQ(0, hwaxsim::CallCount("ReadBIOSMMIOWord") + hwaxsim::CallCount("ReadBIOSMMIOByte"));
    // Signature and lower marker words; the discarded byte, the model name, '#', "ID", CR.
    EXPECT_EQ(2, hwaxsim::CallCount("GetWORDVGABIOSData"));
    EXPECT_EQ(1 + 3 + 1 + 2 + 1, hwaxsim::CallCount("GetBYTEVGABIOSData"));
}

struct ScanCase {
    const char* name;
    bool bBiosMMIO;
    uint32_t nRomSize;
    Placements texts;
    std::string sModel;
    std::string sPPID;
    int nFill = -1;
};

TEST_F(IdentityTest, MarkerScan) {
    const std::vector<ScanCase> cases = {
        {"marker at 0x200", false, 0x10000, {{0x200, "PPIDMod4#P2."}}, "Mod4", "P2"},
        {"marker at 0 not found", false, 0x10000, {{0, "PPIDA#B."}}, "", ""},
        {"marker at 1 not found", false, 0x10000, {{1, "PPIDA#B."}}, "", ""},
        {"marker at 2 not found", false, 0x10000, {{2, "PPIDA#B."}}, "", ""},
        {"marker at 3 found", false, 0x10000, {{3, "PPIDA#B."}}, "A", "B"},
        {"BIOS-window flag: marker at 0xFFFE found", true, 0x20000, {{0xFFFE, "PPIDHi#FE."}},
         "Hi", "FE"},
        {"BIOS-window flag: marker at 0xFFFF not found", true, 0x20000,
         {{0xFFFF, "PPIDHi#FF."}}, "", ""},
        {"marker at 0x3FFFB found", false, 0x40100, {{0x3FFFB, "PPIDTop#FB."}}, "Top", "FB"},
        {"marker at 0x3FFFC not found", false, 0x40100, {{0x3FFFC, "PPIDTop#FC."}}, "", ""},
        {"60-character model name, '#' at p + 64", false, 0x10000,
         {{0x200, "PPID" + M60 + "#AB."}}, M60, "AB"},
        {"no '#' within reach", false, 0x10000, {{0x200, "PPID" + M60 + "ZAB."}}, M60, ""},
        {"PPID without '.' cut at 60", false, 0x10000, {{0x200, "PPIDM#" + P70 + "."}}, "M", P60},
        {"the later of two markers decides", false, 0x10000,
         {{0x200, "PPIDFirst#ID-1."}, {0x400, "PPIDSecond#ID-2."}}, "Second", "ID-2"},
        {"later marker without '#': its model, the earlier PPID", false, 0x10000,
         {{0x200, "PPIDFirst#ID-1."}, {0x400, "PPID" + std::string(60, 'L') + "Z"}},
         std::string(60, 'L'), "ID-1"},
        {"marker right after a partial one", false, 0x10000, {{0x300, "PPPIDX#Y."}}, "X", "Y"},
        {"ROM full of 'P'", false, 0x10000, {}, "", "", 'P'},
        {"ROM all 0xFF", false, 0x10000, {}, "", "", 0xFF},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        OneAdapterMachine(kVendorNvidia, RomWith(c.nRomSize, c.texts, c.nFill), c.bBiosMMIO);
        Outcome o = Extract(Extraction::Adapter0);
        EXPECT_EQ(1, o.nResult);
        EXPECT_EQ(c.sModel, o.sModel);
        EXPECT_EQ(c.sPPID, o.sPPID);
        EXPECT_EQ(kUntouched, o.sOut);
        EXPECT_FALSE(hwaxsim::RomSwitchedIn(0)) << "window left open";
    }
}

TEST_F(IdentityTest, PerAdapterScanReadsThatAdaptersRom) {
    hwaxsim::AdapterConfig a0 = hwaxsim::NvidiaAdapter(1);
    a0.rom = RomWith(0x10000, {{0x200, "PPIDZero#ID-0."}});
    hwaxsim::AdapterConfig a1 = hwaxsim::NvidiaAdapter(2);
    a1.rom = RomWith(0x10000, {{0x200, "PPIDOne#ID-1."}});
    a1.bRomLow = false;
    a1.bRomHigh = true;
    hwaxsim::Scenario s;
    s.adapters = {a0, a1};
    hwaxsim::Configure(s);
    BindAdapters(kVendorNvidia);
    g_VGAInfo.m_bBiosLow[0] = TRUE;
    g_VGAInfo.m_bBiosHigh[1] = TRUE;

    Outcome o = Extract(Extraction::PerAdapter, 1);
    EXPECT_EQ("One", o.sModel);
    EXPECT_EQ("ID-1", o.sPPID);
    o = Extract(Extraction::Adapter0);
    EXPECT_EQ("Zero", o.sModel);
    EXPECT_EQ("ID-0", o.sPPID);
    EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));
    EXPECT_FALSE(hwaxsim::RomSwitchedIn(1));
}

struct BoxCase {
    const char* name;
    uint32_t nVendorId;
    bool bBiosMMIO;
    Extraction extraction;
    std::vector<Box> boxes;
};

TEST_F(IdentityTest, DebugBoxesOfThePerAdapterExtraction) {
    const Box kFunctions{"MultiGetVGAPPID", "functions"};
    const Box kStart{"NV  for   start", "65535"};
    const Box kPPID{"m_BINFO.szBIOSPPID", "m_BINFO.szBIOSPPID"};
    const Box kModel{"m_BINFO.szBIOSModelName", "m_BINFO.szBIOSModelName"};
    const std::vector<BoxCase> cases = {
        {"NVIDIA, BIOS-window flag", kVendorNvidia, true, Extraction::PerAdapter,
         {kFunctions, kStart, kPPID, kModel, kPPID, kModel}},
        {"NVIDIA without the flag", kVendorNvidia, false, Extraction::PerAdapter, {kFunctions}},
        {"ATI", kVendorAti, true, Extraction::PerAdapter, {kFunctions}},
        {"adapter-0 extraction, NVIDIA", kVendorNvidia, true, Extraction::Adapter0, {}},
        {"adapter-0 extraction, ATI", kVendorAti, false, Extraction::Adapter0, {}},
    };
    // Two markers for the scan, one lower layout for ATI.
    const Placements texts = {{0x200, "PPIDA#1."}, {0x300, "PPIDB#2."}, {0xFF00, "PP??C#3\r\n"}};
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.name);
        OneAdapterMachine(c.nVendorId, RomWith(0x10000, texts), c.bBiosMMIO);
        winstub::ClearTrace();
        Extract(c.extraction);
        EXPECT_EQ(c.boxes, TakeBoxes());
    }
}

TEST_F(IdentityTest, IncompleteDriverIsNotCalledAndTheTextsStayEmpty) {
    winstub::RemoveFile("C:\\Program Files\\vrmset\\HWAX.DLL");
    hwaxsim::Install("C:\\Program Files\\vrmset\\HWAX.DLL", {"GetBYTEVGABIOSData"});
    for (uint32_t nVendorId : {kVendorAti, kVendorNvidia}) {
        for (Extraction e : {Extraction::Adapter0, Extraction::PerAdapter}) {
            SCOPED_TRACE(std::string(NameOf(e)) + (nVendorId == kVendorAti ? " ATI" : " NVIDIA"));
            OneAdapterMachine(nVendorId, RomWith(0x10000, {{0x200, "PPIDA#1."}, {0xFF00, "PP??C#3\r\n"}}),
                              false);
            winstub::ClearTrace();
            Outcome o = Extract(e);
            EXPECT_EQ(0, o.nResult);
            EXPECT_EQ("", o.sModel);
            EXPECT_EQ("", o.sPPID);
            EXPECT_EQ(kUntouched, o.sOut);
            EXPECT_TRUE(hwaxsim::Log().empty());
            for (const char* name : hwaxsim::kExportNames)
                EXPECT_EQ(0, hwaxsim::CallCount(name)) << name;
            EXPECT_TRUE(TakeBoxes().empty());
        }
    }
}

TEST_F(IdentityTest, PerAdapterExtractionOutsideTheTableReadsNothing) {
    OneAdapterMachine(kVendorNvidia, RomWith(0x10000, {{0x200, "PPIDA#1."}}), false);
    for (int nAdapter : {-1, 8}) {
        SCOPED_TRACE(nAdapter);
        Outcome o = Extract(Extraction::PerAdapter, nAdapter);
        EXPECT_EQ("", o.sModel);
        EXPECT_EQ("", o.sPPID);
        EXPECT_TRUE(hwaxsim::Log().empty());
        EXPECT_EQ(0, hwaxsim::CallCount("GetBYTEVGAMMIOData"));
    }
}

// Real option ROM images of another project, padded with erased bytes to the reach of the
// search: an identity planted into them is found, and without one nothing is.
std::vector<uint8_t> SeabiosImage(const char* name) {
    std::ifstream file(std::string("/usr/share/seabios/") + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(IdentityTest, RealOptionRomImages) {
    struct RealCase {
        const char* file;
        uint32_t nVendorId;
        uint32_t nPadTo;
        Placements planted;
        std::string sModel;
        std::string sPPID;
    };
    const std::vector<RealCase> cases = {
        {"vgabios-stdvga.bin", kVendorNvidia, 0x40000,
         {{0x23456, "PPIDStd VGA 8MB#CN-0ABC12-34567-89D-0042-A00."}}, "Std VGA 8MB",
         "CN-0ABC12-34567-89D-0042-A00"},
        {"vgabios-stdvga.bin", kVendorNvidia, 0x40000, {}, "", ""},
        {"vgabios-ati.bin", kVendorAti, 0x10000, {{0xFF00, "PP\0\0ATI Rage#TW-0R1234-5678\r\n"s}},
         "ATI Rage", "TW-0R1234-5678"},
        {"vgabios-ati.bin", kVendorAti, 0x20000, {}, "", ""},
    };
    for (const RealCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.planted.empty() ? " as shipped" : " with identity"));
        std::vector<uint8_t> rom = SeabiosImage(c.file);
        if (rom.empty())
            GTEST_SKIP() << "seabios images not installed (scripts/setup.sh installs them)";
        ASSERT_EQ(0x55, rom[0]);
        ASSERT_EQ(0xAA, rom[1]);
        rom.resize(c.nPadTo, 0xFF);
        for (const auto& [nOffset, sText] : c.planted)
            hwaxsim::PutRomText(rom, nOffset, sText);
        OneAdapterMachine(c.nVendorId, rom, false);
        Outcome o = Extract(Extraction::Adapter0);
        EXPECT_EQ(1, o.nResult);
        EXPECT_EQ(c.sModel, o.sModel);
        EXPECT_EQ(c.sPPID, o.sPPID);
    }
}

}  // namespace
