// The exported functions and the library's load and unload, with the library loaded through
// the Win32 stand-in as a host loads it, discovery included.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cardtag_fixture.h"

namespace {

using cardtag_test::FindDriver;
using cardtag_test::LoadCardtag;

// NVIDIA adapters whose ROMs carry "Model-i" and "SN-i", with these subsystem vendors.
void Machine(const std::vector<uint32_t>& subVendors, bool bIdentity = true) {
    hwaxsim::Scenario s;
    for (size_t i = 0; i < subVendors.size(); ++i) {
        hwaxsim::AdapterConfig a = hwaxsim::NvidiaAdapter(static_cast<uint32_t>(i + 1));
        a.nSubVendorId = subVendors[i];
        if (bIdentity) {
            std::string n = std::to_string(i);
            hwaxsim::PutRomText(a.rom, 0x200, "PPIDModel-" + n + "#SN-" + n + ".");
        }
        s.adapters.push_back(a);
    }
    hwaxsim::Configure(s);
}

int MessageBoxes() { return static_cast<int>(winstub::Events(winstub::EventKind::MessageBox).size()); }

int DriverCalls() {
    int n = 0;
    for (const char* name : hwaxsim::kExportNames)
        n += hwaxsim::CallCount(name);
    return n;
}

// Load and forget what discovery did, so a test sees only what its calls do.
HMODULE LoadAndClear() {
    HMODULE h = LoadCardtag();
    hwaxsim::ClearLog();
    winstub::ClearTrace();
    return h;
}

// Whether the ROM window was opened and restored since the log was cleared: the NVIDIA
// default chip gets bit 0 of 0x50 set and the word cleared again.
bool WindowSwitched() {
    std::vector<hwaxsim::LogEntry> writes = hwaxsim::Writes();
    return writes.size() >= 2 && writes.front().nOffset == 0x50 && writes.front().dwValue == 1 &&
           writes.back().nOffset == 0x50 && writes.back().dwValue == 0;
}

class ExportsTest : public cardtag_test::CardtagTest {};

TEST_F(ExportsTest, GateComparesTheWholeSubsystemVendorFieldWithTheBuildsBoardVendor) {
    struct GateCase {
        const char* name;
        uint32_t nSubVendor;
        bool bPasses;
    };
    const std::vector<GateCase> cases = {
        {"board maker", kBoardVendorId, true},
        {"another vendor", kBoardVendorId ^ 0x0001, false},
        {"board maker in the low 16 bits only", kBoardVendorId | 0x10000, false},
    };
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.name);
        Machine({c.nSubVendor});
        ASSERT_NE(nullptr, LoadAndClear());

        const char* pPPID = GetVGAPPID_Num();
        EXPECT_TRUE(WindowSwitched()) << "the extraction runs before the gate";
        EXPECT_STREQ("SN-0", g_VGAInfo.m_BINFO.szBIOSPPID);
        hwaxsim::ClearLog();
        const char* pModel = GetVGAModleName();
        EXPECT_TRUE(WindowSwitched());
        const char* pMulti = MultiGetVGAPPID_Num(0);
        EXPECT_EQ(1, MessageBoxes());

        if (c.bPasses) {
            EXPECT_EQ(g_VGAInfo.m_BINFO.szBIOSPPID, pPPID);
            EXPECT_EQ(g_VGAInfo.m_BINFO.szBIOSModelName, pModel);
            EXPECT_STREQ("SN-0", pMulti);
            EXPECT_STREQ("Model-0", pModel);
        } else {
            EXPECT_EQ(nullptr, pPPID);
            EXPECT_EQ(nullptr, pModel);
            EXPECT_EQ(nullptr, pMulti);
        }
        FreeLibrary(winstub::FindLoaded(cardtag_test::kCardtagPath));
    }
}

TEST_F(ExportsTest, BoardMakerAdapterWithoutIdentityGivesAnEmptyText) {
    Machine({kBoardVendorId}, false);
    ASSERT_NE(nullptr, LoadAndClear());
    const char* p = GetVGAPPID_Num();
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("", p);
    p = GetVGAModleName();
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("", p);
}

TEST_F(ExportsTest, EveryIdentityExportRewritesTheSameTwoBuffers) {
    Machine({kBoardVendorId, kBoardVendorId, kBoardVendorId, kBoardVendorId});
    ASSERT_NE(nullptr, LoadAndClear());

    const char* pPPID = GetVGAPPID_Num();
    ASSERT_STREQ("SN-0", pPPID);
    EXPECT_EQ(pPPID, MultiGetVGAPPID_Num(1));
    EXPECT_STREQ("SN-1", pPPID) << "an earlier pointer shows the later call's text";

    struct Call {
        const char* name;
        std::function<const char*()> fn;
        const char* szText;   // what it returns
        const char* szOther;  // what the other buffer holds afterwards
    };
    const std::vector<Call> calls = {
        {"GetVGAPPID_Num1", GetVGAPPID_Num1, "SN-1", "Model-1"},
        {"GetVGAPPID_Num2", GetVGAPPID_Num2, "SN-2", "Model-2"},
        {"GetVGAPPID_Num3", GetVGAPPID_Num3, "SN-3", "Model-3"},
        {"GetVGAModleName1", GetVGAModleName1, "Model-1", "SN-1"},
        {"GetVGAModleName2", GetVGAModleName2, "Model-2", "SN-2"},
        {"GetVGAModleName3", GetVGAModleName3, "Model-3", "SN-3"},
        {"GetVGAModleName", GetVGAModleName, "Model-0", "SN-0"},
        {"MultiGetModleName(2)", [] { return MultiGetModleName(2); }, "Model-2", "SN-2"},
        {"MultiGetVGAPPID_Num(3)", [] { return MultiGetVGAPPID_Num(3); }, "SN-3", "Model-3"},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        const char* p = c.fn();
        ASSERT_NE(nullptr, p);
        EXPECT_STREQ(c.szText, p);
        bool bPPID = p == g_VGAInfo.m_BINFO.szBIOSPPID;
        EXPECT_TRUE(bPPID || p == g_VGAInfo.m_BINFO.szBIOSModelName);
        EXPECT_STREQ(c.szOther, bPPID ? g_VGAInfo.m_BINFO.szBIOSModelName : g_VGAInfo.m_BINFO.szBIOSPPID);
    }
}

TEST_F(ExportsTest, IndexedExportsOutsideTheAdapters) {
    struct IndexCase {
        int nIndex;
        bool bExtractionRuns;  // its box shows
    };
    Machine({kBoardVendorId, kBoardVendorId});
    ASSERT_NE(nullptr, LoadAndClear());
    for (const IndexCase& c : {IndexCase{5, true}, IndexCase{-1, false}, IndexCase{8, false},
                               IndexCase{0x7FFFFFFF, false}}) {
        SCOPED_TRACE(c.nIndex);
        winstub::ClearTrace();
        hwaxsim::ClearLog();
        EXPECT_EQ(nullptr, MultiGetVGAPPID_Num(c.nIndex));
        EXPECT_EQ(nullptr, MultiGetModleName(c.nIndex));
        EXPECT_EQ(c.bExtractionRuns ? 2 : 0, MessageBoxes());
        if (!c.bExtractionRuns) {
            EXPECT_EQ(0, DriverCalls());
        }
    }
}

TEST_F(ExportsTest, OnlyThePerAdapterExportsShowTheirBoxOnEveryCall) {
    Machine({kBoardVendorId});
    ASSERT_NE(nullptr, LoadAndClear());
    GetVGAPPID_Num();
    GetVGAModleName();
    EXPECT_EQ(0, MessageBoxes());
    MultiGetVGAPPID_Num(0);
    MultiGetVGAPPID_Num(0);
    std::vector<winstub::Event> boxes = winstub::Events(winstub::EventKind::MessageBox);
    ASSERT_EQ(2u, boxes.size());
    for (const winstub::Event& e : boxes) {
        EXPECT_EQ("MultiGetVGAPPID", e.text);
        EXPECT_EQ("functions", e.caption);
    }
}

TEST_F(ExportsTest, CardCountLooksAtAllEightRecords) {
    struct CountCase {
        const char* name;
        std::vector<uint32_t> subVendors;
        int nTableCount;  // forced adapter count, -1: as discovery left it
        int nExpected;
    };
    const std::vector<CountCase> cases = {
        {"no adapter", {}, -1, 0},
        {"two of the board maker, one other", {kBoardVendorId, 0x1043, kBoardVendorId}, -1, 2},
        {"records beyond the adapter count", {kBoardVendorId, kBoardVendorId, kBoardVendorId}, 1, 3},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.name);
        Machine(c.subVendors);
        ASSERT_NE(nullptr, LoadAndClear());
        if (c.nTableCount >= 0)
            g_VGAInfo.m_nVGACount = c.nTableCount;
        EXPECT_EQ(c.nExpected, GetTELOVGACard());
        EXPECT_EQ(0, DriverCalls()) << "counting reads no ROM";
        FreeLibrary(winstub::FindLoaded(cardtag_test::kCardtagPath));
    }
}

TEST_F(ExportsTest, WithoutTheDriverEveryExportAnswersNull) {
    struct DriverCase {
        const char* name;
        std::vector<std::string> omit;  // null: no driver file at all
        bool bFile;
    };
    const std::vector<DriverCase> cases = {
        {"no HWAX.DLL beside the host", {}, false},
        {"HWAX.DLL without GetBYTEVGABIOSData", {"GetBYTEVGABIOSData"}, true},
        {"HWAX.DLL without WriteMMIODword", {"WriteMMIODword"}, true},
    };
    const std::vector<std::function<const char*()>> exports = {
        GetVGAModleName,  GetVGAModleName1, GetVGAModleName2, GetVGAModleName3,
        GetVGAPPID_Num,   GetVGAPPID_Num1,  GetVGAPPID_Num2,  GetVGAPPID_Num3,
        [] { return MultiGetModleName(0); }, [] { return MultiGetVGAPPID_Num(0); },
    };
    for (const DriverCase& c : cases) {
        SCOPED_TRACE(c.name);
        Machine({kBoardVendorId});
        winstub::RemoveFile("C:\\Program Files\\vrmset\\HWAX.DLL");
        if (c.bFile)
            hwaxsim::Install("C:\\Program Files\\vrmset\\HWAX.DLL", c.omit);
        ASSERT_NE(nullptr, LoadAndClear()) << "a missing driver does not fail the load";
        EXPECT_EQ(0, GetTELOVGACard());
        for (size_t i = 0; i < exports.size(); ++i)
            EXPECT_EQ(nullptr, exports[i]()) << "export " << i;
        EXPECT_EQ(0, DriverCalls());
        EXPECT_EQ(0, MessageBoxes());
        FreeLibrary(winstub::FindLoaded(cardtag_test::kCardtagPath));
    }
}

TEST_F(ExportsTest, ExportTableNamesAndOrdinals) {
    // The module definition is what the linker exports; each name is spelled as hosts ask
    // for it, and the ordinals follow the alphabetical order of the names.
    std::filesystem::path def =
        std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "cardtag" / "cardtag.def";
    std::ifstream file(def);
    ASSERT_TRUE(file) << def;
    std::vector<std::string> entries;
    bool bInExports = false;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == ';')
            continue;
        if (first == "EXPORTS") {
            bInExports = true;
            continue;
        }
        if (!bInExports)
            continue;
        std::string ordinal;
        words >> ordinal;
        entries.push_back(first + " " + ordinal);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "GetTELOVGACard @1",
                           "GetVGAModleName @2",
                           "GetVGAModleName1 @3",
                           "GetVGAModleName2 @4",
                           "GetVGAModleName3 @5",
                           "GetVGAPPID_Num @6",
                           "GetVGAPPID_Num1 @7",
                           "GetVGAPPID_Num2 @8",
                           "GetVGAPPID_Num3 @9",
                           "MultiGetModleName @10",
                           "MultiGetVGAPPID_Num @11",
                       }));
}

// Load and unload.

class LifecycleTest : public cardtag_test::CardtagTest {};

int FreesOf(const std::string& path) {
    int n = 0;
    for (const winstub::Event& e : winstub::Events(winstub::EventKind::FreeLibrary))
        n += e.text == path;
    return n;
}

TEST_F(LifecycleTest, LoadRunsDiscoveryAndRegistersWithTheClassLibrary) {
    Machine({kBoardVendorId});
    int nRegistered = AfxGetModuleState()->nRegistered;
    HMODULE h = LoadCardtag();
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, winstub::RefCount(FindDriver()));
    EXPECT_GT(hwaxsim::CallCount("FindVGAChip"), 0);
    EXPECT_EQ(1, g_VGAInfo.m_nVGACount);
    EXPECT_EQ(kVendorNvidia, g_nVendorId);
    EXPECT_TRUE(g_ExtensionModule.bInitialized);
    EXPECT_EQ(h, g_ExtensionModule.hModule);
    EXPECT_EQ(nRegistered + 1, AfxGetModuleState()->nRegistered);
}

TEST_F(LifecycleTest, UnloadReleasesTheDriverOnceAndLeavesTheClassLibrary) {
    Machine({kBoardVendorId});
    int nRegistered = AfxGetModuleState()->nRegistered;
    HMODULE h = LoadCardtag();
    ASSERT_NE(nullptr, h);
    std::string driverPath = winstub::PathOf(FindDriver());
    winstub::ClearTrace();

    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(nullptr, FindDriver());
    EXPECT_EQ(1, FreesOf(driverPath));
    EXPECT_FALSE(g_ExtensionModule.bInitialized);
    EXPECT_EQ(nRegistered, AfxGetModuleState()->nRegistered);
}

TEST_F(LifecycleTest, FailedClassLibraryRegistrationFailsTheLoadAndReleasesTheDriver) {
    Machine({kBoardVendorId});
    int nRegistered = AfxGetModuleState()->nRegistered;
    classlib::FailNextExtensionInit(true);

    EXPECT_EQ(nullptr, LoadCardtag());
    EXPECT_GT(hwaxsim::CallCount("FindVGAChip"), 0) << "discovery ran inside the load";
    EXPECT_EQ(nullptr, FindDriver());
    EXPECT_EQ(1, FreesOf("C:\\Program Files\\vrmset\\HWAX.DLL"));
    EXPECT_EQ(nullptr, winstub::FindLoaded(cardtag_test::kCardtagPath));
    EXPECT_EQ(nRegistered, AfxGetModuleState()->nRegistered);
}

}  // namespace
