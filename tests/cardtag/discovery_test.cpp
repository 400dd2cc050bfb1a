// Adapter discovery against the simulated access driver, driver API and ATI library: which
// adapters are found and in what order, the wake-up of a sleeping ATI adapter, the bus link
// from the capability list and where each ROM answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "atipdlsim.h"
#include "cardtag_fixture.h"
#include "discovery.h"
#include "hwaxsim.h"
#include "nvsim.h"
#include "vgainfo.h"
#include "winstub.h"

namespace {

using winstub::EventKind;

const std::string kHostFolder = "C:\\Program Files\\vrmset";
const std::string kSystemNvApi = std::string(winstub::kSystemDir) + "\\nvapi.dll";
const std::string kSystemAtiPdl = std::string(winstub::kSystemDir) + "\\atipdlxx.dll";
constexpr uint32_t kKept = 9;  // link speed value that discovery must leave alone

const std::vector<std::string> kRequiredEntries = {
    "FindVGAChip",        "GetVGAMMIOAddress",   "GetVGABIOSAddress",  "BusTypeAndDataRate",
    "GetPcicfgAddr",      "GetDWORDVGAMMIOData", "GetBYTEVGAMMIOData", "WriteDWORDVGAMMIOData",
    "ReadMMIODword",      "WriteMMIODword",      "ReadBIOSMMIOWord",   "ReadBIOSMMIOByte",
    "GetWORDVGABIOSData", "GetBYTEVGABIOSData",
};

hwaxsim::Scenario Adapters(uint32_t nVendor, const std::vector<uint32_t>& buses) {
    hwaxsim::Scenario scenario;
    for (uint32_t nBus : buses) {
        scenario.adapters.push_back(nVendor == kVendorAti ? hwaxsim::AtiAdapter(nBus, 0)
                                                          : hwaxsim::NvidiaAdapter(nBus, 0));
    }
    return scenario;
}

// A driver API library that offers nothing.
void* __cdecl NoInterface(uint32_t) {
    return nullptr;
}

// The library's state as the loader leaves it before discovery: g_VGAInfo constructed over
// zeroed storage, process-wide values at their load values. The old object is not destroyed:
// its driver handle belongs to a stand-in state that is being thrown away.
void FreshLibrary() { cardtag_test::ResetLibraryState(); }

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { Restart(); }
    // Leaves no driver handle for the object's destruction at process exit.
    void TearDown() override { FreshLibrary(); }

    static void Restart() {
        FreshLibrary();
        winstub::Reset();
        hwaxsim::Configure(hwaxsim::Scenario{});
        nvsim::Start(nvsim::Scenario{});
    }

    // Powers the machine on and puts the driver beside the host executable.
    static void Machine(const hwaxsim::Scenario& scenario) {
        hwaxsim::Configure(scenario);
        hwaxsim::Install();
    }

    // The driver API with GPU 0 on bus nFirstBus.
    static void NvApi(uint32_t nFirstBus, const nvsim::Scenario& base = nvsim::Scenario{}) {
        nvsim::Scenario scenario = base;
        scenario.nGpus = 2;
        scenario.busNumbers = {nFirstBus, nFirstBus + 100};
        nvsim::Start(scenario);
        nvsim::InstallInSystemDir();
    }

    static int Discover() { return g_VGAInfo.CVGAInfo::Init(); }

    static std::vector<uint32_t> TableBuses() {
        std::vector<uint32_t> buses;
        for (int i = 0; i < g_VGAInfo.m_nVGACount; ++i)
            buses.push_back(g_VGAInfo.m_VGAChip[i].nBus);
        return buses;
    }

    // Scenario index of each adapter mapped into the register-window slots 0..n-1.
    static std::vector<int> MappedAdapters(int nCount) {
        std::vector<int> adapters;
        for (int i = 0; i < nCount; ++i) {
            adapters.push_back(hwaxsim::MmioSlotAdapter(i));
            EXPECT_EQ(hwaxsim::BiosSlotAdapter(i), hwaxsim::MmioSlotAdapter(i)) << "slot " << i;
        }
        return adapters;
    }

    static bool LoadedByName(const std::string& fragment) {
        for (const winstub::Event& e : winstub::Events(EventKind::LoadLibrary)) {
            if (e.text.find(fragment) != std::string::npos)
                return true;
        }
        return false;
    }
};

// A driver that does not load, or lacks an entry the library calls, is never called.
TEST_F(DiscoveryTest, UnusableDriverLeavesEverythingUntouched) {
    struct Case {
        std::string what;
        bool bInstalled;
        bool bLoadFails;
        std::vector<std::string> omit;
    };
    std::vector<Case> cases = {{"no driver", false, false, {}}, {"load fails", true, true, {}}};
    for (const std::string& name : kRequiredEntries)
        cases.push_back({"without " + name, true, false, {name}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        hwaxsim::Scenario scenario = Adapters(kVendorNvidia, {1, 2});
        scenario.bLoadFails = c.bLoadFails;
        hwaxsim::Configure(scenario);
        if (c.bInstalled)
            hwaxsim::Install(kHostFolder + "\\HWAX.DLL", c.omit);

        EXPECT_EQ(Discover(), 0);
        EXPECT_EQ(g_VGAInfo.m_nVGACount, 0);
        EXPECT_EQ(g_nVendorId, 0u);
        EXPECT_EQ(g_VGAInfo.m_BusInfo[0].nBusType, 0u);
        for (const char* name : hwaxsim::kExportNames)
            EXPECT_EQ(hwaxsim::CallCount(name), 0) << name;
    }
}

TEST_F(DiscoveryTest, AdapterCountAndVendorFromTheDriver) {
    struct Case {
        const char* what;
        int nNvidia;
        int nAti;
        std::optional<int32_t> nvResult;  // forced FindVGAChip results
        std::optional<int32_t> atiResult;
        int32_t expectedCount;
        uint32_t expectedVendor;
    } cases[] = {
        {"one NVIDIA", 1, 0, {}, {}, 1, kVendorNvidia},
        {"NVIDIA before ATI", 1, 2, {}, {}, 1, kVendorNvidia},
        {"ATI when no NVIDIA", 0, 2, {}, {}, 2, kVendorAti},
        {"none at all", 0, 0, {}, {}, 0, kVendorAti},
        {"NVIDIA answers 0", 1, 1, 0, {}, 1, kVendorAti},
        {"NVIDIA negative", 1, 1, -1, {}, 1, kVendorAti},
        {"both negative", 0, 0, -1, -5, -5, kVendorAti},
        {"nine NVIDIA", 9, 0, {}, {}, 8, kVendorNvidia},
        {"NVIDIA answers 100", 9, 0, 100, {}, 8, kVendorNvidia},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        hwaxsim::Scenario scenario;
        for (int i = 0; i < c.nNvidia; ++i)
            scenario.adapters.push_back(hwaxsim::NvidiaAdapter(0x10 + i));
        for (int i = 0; i < c.nAti; ++i)
            scenario.adapters.push_back(hwaxsim::AtiAdapter(0x40 + i));
        if (c.nvResult)
            scenario.findResult[kVendorNvidia] = *c.nvResult;
        if (c.atiResult)
            scenario.findResult[kVendorAti] = *c.atiResult;
        Machine(scenario);

        EXPECT_EQ(Discover(), c.expectedCount);
        EXPECT_EQ(g_VGAInfo.m_nVGACount, c.expectedCount);
        EXPECT_EQ(g_nVendorId, c.expectedVendor);
        int nFound = c.expectedCount > 0 ? c.expectedCount : 0;
        EXPECT_EQ(hwaxsim::CallCount("GetVGAMMIOAddress"), nFound);
        EXPECT_EQ(hwaxsim::CallCount("GetVGABIOSAddress"), nFound);
        EXPECT_EQ(hwaxsim::CallCount("GetPcicfgAddr"), nFound);
        // The driver's bus pairs are asked for even when nothing was found.
        EXPECT_EQ(hwaxsim::CallCount("BusTypeAndDataRate"), 1);
        // Every adapter found, up to the eighth, is mapped, has its bus link read from its
        // capability list and its ROM located; the other pairs keep the driver's values.
        for (int i = 0; i < kMaxAdapters; ++i) {
            SCOPED_TRACE(testing::Message() << "adapter " << i);
            EXPECT_EQ(hwaxsim::MmioSlotAdapter(i) >= 0, i < nFound);
            EXPECT_EQ(g_VGAInfo.m_BusInfo[i].nBusType, i < nFound ? 4u : 0xB0570000u + i);
            if (c.expectedVendor == kVendorNvidia) {
                EXPECT_EQ(g_VGAInfo.m_bBiosLow[i], i < nFound ? TRUE : FALSE);
            }
        }
        EXPECT_EQ(hwaxsim::MmioSlotAdapter(8), -1);
        EXPECT_TRUE(hwaxsim::Notes().empty()) << hwaxsim::Notes()[0].sText;
    }
}

TEST_F(DiscoveryTest, NvidiaTableIsKeptOrReversedByTheDriversFirstGpu) {
    struct Case {
        std::vector<uint32_t> buses;
        uint32_t nFirstGpuBus;
        std::vector<uint32_t> expected;
    } cases[] = {
        {{3, 5}, 5, {5, 3}},
        {{3, 5}, 3, {3, 5}},
        {{3, 5, 7}, 5, {3, 5, 7}},
        {{1, 2, 3, 4}, 4, {4, 3, 2, 1}},
        {{1, 2, 3, 4}, 9, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.buses.size() << " adapters, first GPU on bus " << c.nFirstGpuBus);
        Restart();
        Machine(Adapters(kVendorNvidia, c.buses));
        NvApi(c.nFirstGpuBus);

        EXPECT_EQ(Discover(), static_cast<int>(c.buses.size()));
        EXPECT_EQ(TableBuses(), c.expected);
        EXPECT_EQ(g_nNvApiStatus, 0);
        // The driver maps each adapter into the slot of its place in the ordered table.
        std::vector<int> expectedSlots;
        for (uint32_t nBus : c.expected) {
            auto it = std::find(c.buses.begin(), c.buses.end(), nBus);
            expectedSlots.push_back(static_cast<int>(it - c.buses.begin()));
        }
        EXPECT_EQ(MappedAdapters(static_cast<int>(c.buses.size())), expectedSlots);
    }
}

TEST_F(DiscoveryTest, NvidiaTableKeepsItsOrderWhenTheDriverApiFails) {
    struct Case {
        const char* what;
        bool bInstalled;
        std::function<void(nvsim::Scenario&)> change;
        NvAPI_Status expectedStatus;
        std::vector<uint32_t> expected;
    } cases[] = {
        {"library missing", false, nullptr, -2, {3, 5}},
        {"initialisation negative",
         true,
         [](nvsim::Scenario& s) { s.nInitStatus = -1; },
         -1,
         {3, 5}},
        {"initialisation positive", true, [](nvsim::Scenario& s) { s.nInitStatus = 1; }, 0, {5, 3}},
        {"no initialisation entry",
         true,
         [](nvsim::Scenario& s) { s.missingIds = {kNvIdInitialize}; },
         -1,
         {3, 5}},
        {"enumeration fails",
         true,
         [](nvsim::Scenario& s) {
             s.faults = {{nvsim::CallKind::Enum, 1, -1}};
         },
         0,
         {3, 5}},
        {"bus query fails",
         true,
         [](nvsim::Scenario& s) {
             s.faults = {{nvsim::CallKind::BusId, 1, -1}};
         },
         0,
         {3, 5}},
        {"no bus query entry",
         true,
         [](nvsim::Scenario& s) { s.missingIds = {kNvIdGpuGetBusId}; },
         0,
         {3, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        Machine(Adapters(kVendorNvidia, {3, 5}));
        if (c.bInstalled) {
            nvsim::Scenario scenario;
            if (c.change)
                c.change(scenario);
            NvApi(5, scenario);
        }

        EXPECT_EQ(Discover(), 2);
        EXPECT_EQ(TableBuses(), c.expected);
        EXPECT_EQ(g_nNvApiStatus, c.expectedStatus);
        EXPECT_TRUE(winstub::Events(EventKind::MessageBox).empty());
    }
}

TEST_F(DiscoveryTest, EntryTheDriverLacksAnswersNoImplementation) {
    Machine(Adapters(kVendorNvidia, {3, 5}));
    nvsim::Scenario scenario;
    scenario.missingIds = {kNvIdGpuGetBusId};
    NvApi(5, scenario);

    ASSERT_EQ(Discover(), 2);
    auto pfnBusId =
        reinterpret_cast<NvGpuGetBusIdFn>(g_NvApiEntries[kNvApiGpuGetBusIdEntry].pfnEntry);
    uint32_t nBus = 0;
    EXPECT_EQ(pfnBusId(nullptr, &nBus), NVAPI_NO_IMPLEMENTATION);
}

TEST_F(DiscoveryTest, SingleNvidiaAdapterNeverTouchesTheDriverApi) {
    Machine(Adapters(kVendorNvidia, {7}));
    NvApi(7);

    EXPECT_EQ(Discover(), 1);
    EXPECT_FALSE(LoadedByName("nvapi"));
    EXPECT_TRUE(nvsim::Log().empty());
    EXPECT_EQ(g_nNvApiDefaultStatus, -4);
}

// The library runs in an elevated program: nvapi.dll is the module the process already has,
// or the system directory's copy, never one on the search path.
TEST_F(DiscoveryTest, DriverApiComesFromTheProcessOrTheSystemDirectory) {
    winstub::ModuleFile planted{kHostFolder + "\\nvapi.dll",
                                {{"nvapi_QueryInterface", reinterpret_cast<void*>(&NoInterface)}}};

    // Not loaded yet: the system directory's file, not the planted one.
    Machine(Adapters(kVendorNvidia, {3, 5}));
    winstub::AddFile(planted);
    NvApi(5);
    EXPECT_EQ(Discover(), 2);
    EXPECT_EQ(TableBuses(), (std::vector<uint32_t>{5, 3}));
    EXPECT_EQ(winstub::FindLoaded(planted.path), nullptr);
    EXPECT_NE(winstub::FindLoaded(kSystemNvApi), nullptr);

    // Already loaded by the program: that module, without loading anything.
    Restart();
    Machine(Adapters(kVendorNvidia, {3, 5}));
    winstub::AddFile(planted);
    NvApi(5);
    HMODULE hProgram = LoadLibraryA(kSystemNvApi.c_str());
    winstub::ClearTrace();
    EXPECT_EQ(Discover(), 2);
    EXPECT_EQ(TableBuses(), (std::vector<uint32_t>{5, 3}));
    EXPECT_FALSE(LoadedByName("nvapi"));
    EXPECT_EQ(winstub::RefCount(hProgram), 1);
}

TEST_F(DiscoveryTest, AtiTableIsOrderedForThePrimaryDisplay) {
    constexpr DWORD kPrimary = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE;
    struct Case {
        const char* what;
        std::vector<DWORD> displays;
        bool bEnumExport;
        int32_t nAcceptedDisplay;  // the only display index the ATI library answers for
        int32_t expectedPrimary;
        bool bSwapped;
    } cases[] = {
        {"primary second", {1, kPrimary}, true, 1, 1, true},
        {"primary with another flag", {1, kPrimary | 8}, true, 0, 0, true},
        {"not taken for primary", {1, kPrimary | 8}, true, 1, 0, false},
        {"first exact match", {1, kPrimary | 8, kPrimary, kPrimary}, true, 2, 2, true},
        {"no display devices", {}, true, 0, 0, true},
        {"no EnumDisplayDevicesA", {1, kPrimary}, false, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        winstub::SetDisplayDevices(c.displays);
        winstub::SetEnumDisplayDevicesExport(c.bEnumExport);
        hwaxsim::Scenario scenario = Adapters(kVendorAti, {3, 5});
        scenario.ati.firstBus = 5;
        scenario.ati.display = c.nAcceptedDisplay;
        Machine(scenario);
        atipdlsim::Install();

        EXPECT_EQ(Discover(), 2);
        EXPECT_EQ(g_nPrimaryDisplay, c.expectedPrimary);
        EXPECT_EQ(TableBuses(),
                  c.bSwapped ? (std::vector<uint32_t>{5, 3}) : (std::vector<uint32_t>{3, 5}));
        EXPECT_EQ(MappedAdapters(2),
                  c.bSwapped ? (std::vector<int>{1, 0}) : (std::vector<int>{0, 1}));
    }
}

// The ATI library's faults: the table keeps its order where the enumeration is not had, and
// the wake-up runs only with the activity entry. The sleeping adapter is the one that ends
// up second.
TEST_F(DiscoveryTest, AtiLibraryFaultsSkipOrderingAndWakeUpSeparately) {
    struct Case {
        const char* what;
        std::string atipdlPath;  // "" for none
        std::vector<std::string> omit;
        bool bLoadFails;
        int32_t nEnumResult;
        int32_t nActivityResult;
        bool bSwapped;
        bool bWakes;
    } cases[] = {
        {"complete", kSystemAtiPdl, {}, false, 0, 0, true, true},
        {"library missing", "", {}, false, 0, 0, false, false},
        {"library beside the program only",
         kHostFolder + "\\atipdlxx.dll",
         {},
         false,
         0,
         0,
         false,
         false},
        {"library fails to load", kSystemAtiPdl, {}, true, 0, 0, false, false},
        {"no enumeration entry",
         kSystemAtiPdl,
         {"ATIDL_EnumPhysicalAdapters"},
         false,
         0,
         0,
         false,
         true},
        {"no activity entry",
         kSystemAtiPdl,
         {"ATIDL_GetPMCurrentActivity"},
         false,
         0,
         0,
         true,
         false},
        {"enumeration fails", kSystemAtiPdl, {}, false, -1, 0, false, true},
        {"activity query fails", kSystemAtiPdl, {}, false, 0, -1, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        hwaxsim::Scenario scenario = Adapters(kVendorAti, {3, 5});
        scenario.ati.firstBus = 5;
        scenario.ati.bLoadFails = c.bLoadFails;
        scenario.ati.nEnumResult = c.nEnumResult;
        scenario.ati.nActivityResult = c.nActivityResult;
        scenario.adapters[c.bSwapped ? 0 : 1].bAsleep = true;
        Machine(scenario);
        hwaxsim::InstallLoadspin();
        if (!c.atipdlPath.empty())
            atipdlsim::Install(c.atipdlPath, c.omit);

        EXPECT_EQ(Discover(), 2);
        EXPECT_EQ(TableBuses(),
                  c.bSwapped ? (std::vector<uint32_t>{5, 3}) : (std::vector<uint32_t>{3, 5}));
        EXPECT_EQ(hwaxsim::LoadspinRuns(), c.bWakes ? 1 : 0);
        EXPECT_EQ(winstub::Events(EventKind::CreateProcess).size(), c.bWakes ? 1u : 0u);
        EXPECT_TRUE(winstub::Events(EventKind::MessageBox).empty());
        EXPECT_EQ(winstub::FindLoaded(kHostFolder + "\\atipdlxx.dll"), nullptr);
    }
}

TEST_F(DiscoveryTest, WakeUpProgramRunsAtMostOneSecondAndIsCleanedUp) {
    // Quoted, the path fills 31 bytes with 13 folder letters, 32 with 14; the longest folder
    // that still leaves the driver's path within 255 characters gives a program path of 259.
    struct Case {
        const char* what;
        std::string folder;
        bool bHangs;
        DWORD expectedWait;
        int64_t expectedUsec;
    } cases[] = {
        {"ends by itself", kHostFolder, false, WAIT_OBJECT_0, 200000},
        {"hangs", kHostFolder, true, WAIT_TIMEOUT, 1000000},
        {"short folder", "C:\\vrmset", false, WAIT_OBJECT_0, 200000},
        {"command line just fits 32", "C:\\" + std::string(13, 'f'), false, WAIT_OBJECT_0, 200000},
        {"command line of 32", "C:\\" + std::string(14, 'f'), false, WAIT_OBJECT_0, 200000},
        {"longest folder", "C:\\" + std::string(243, 'f'), false, WAIT_OBJECT_0, 200000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        const std::string loadspin = c.folder + "\\loadspin.exe";
        winstub::SetHostPath(c.folder + "\\v.exe");
        hwaxsim::Scenario scenario = Adapters(kVendorAti, {3, 5});
        scenario.ati.firstBus = 3;
        scenario.adapters[1].bAsleep = true;
        scenario.loadspin.nRunMs = 200;
        scenario.loadspin.bHangs = c.bHangs;
        hwaxsim::Configure(scenario);
        hwaxsim::Install(c.folder + "\\HWAX.DLL");
        atipdlsim::Install();
        hwaxsim::InstallLoadspin(loadspin);
        winstub::ClearTrace();

        EXPECT_EQ(Discover(), 2);

        std::vector<winstub::Event> processEvents;
        for (const winstub::Event& e : winstub::Trace()) {
            if (e.kind == EventKind::CreateProcess || e.kind == EventKind::WaitForObject ||
                e.kind == EventKind::TerminateProcess || e.kind == EventKind::CloseHandle)
                processEvents.push_back(e);
        }
        ASSERT_EQ(processEvents.size(), 5u);
        const winstub::Event& start = processEvents[0];
        EXPECT_EQ(start.kind, EventKind::CreateProcess);
        EXPECT_EQ(start.extra, loadspin);
        EXPECT_EQ(start.text, "\"" + loadspin + "\"");
        EXPECT_EQ(start.caption, loadspin);
        EXPECT_EQ(start.a, 0u);     // creation flags
        EXPECT_EQ(start.b, 68u);    // STARTUPINFOA.cb
        EXPECT_EQ(start.c, 0x40u);  // STARTF_FORCEONFEEDBACK
        EXPECT_EQ(start.d, 0u);     // wShowWindow
        EXPECT_EQ(processEvents[1].kind, EventKind::WaitForObject);
        EXPECT_EQ(processEvents[1].a, 1000u);
        EXPECT_EQ(processEvents[1].b, c.expectedWait);
        EXPECT_EQ(processEvents[2].kind, EventKind::TerminateProcess);
        EXPECT_EQ(processEvents[2].a, 0u);
        EXPECT_EQ(processEvents[3].kind, EventKind::CloseHandle);
        EXPECT_EQ(processEvents[4].kind, EventKind::CloseHandle);
        EXPECT_NE(processEvents[3].a, processEvents[4].a);
        EXPECT_EQ(winstub::NowUsec() - start.usec, c.expectedUsec);

        EXPECT_FALSE(hwaxsim::IsAsleep(1));
        EXPECT_TRUE(winstub::Events(EventKind::MessageBox).empty());
    }
}

TEST_F(DiscoveryTest, WakeUpProgramNotBesideTheHostLeavesOneAdapter) {
    hwaxsim::Scenario scenario = Adapters(kVendorAti, {3, 5});
    scenario.ati.firstBus = 3;
    scenario.adapters[1].bAsleep = true;
    Machine(scenario);
    atipdlsim::Install();
    // Copies elsewhere on the search path are not started.
    hwaxsim::InstallLoadspin(std::string(winstub::kDefaultCurrentDir) + "\\loadspin.exe");
    hwaxsim::InstallLoadspin(std::string(winstub::kSystemDir) + "\\loadspin.exe");

    EXPECT_EQ(Discover(), 1);
    EXPECT_EQ(g_VGAInfo.m_nVGACount, 1);
    EXPECT_EQ(hwaxsim::LoadspinRuns(), 0);
    std::vector<winstub::Event> boxes = winstub::Events(EventKind::MessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "ULPS Mode Enable");
    EXPECT_EQ(boxes[0].caption, "TELO VGA PPID");
    EXPECT_EQ(boxes[0].a, static_cast<uint32_t>(MB_OK));
    EXPECT_EQ(boxes[0].b, 0u);
    // Only the first adapter is mapped and examined from then on.
    EXPECT_EQ(hwaxsim::CallCount("GetVGAMMIOAddress"), 1);
    EXPECT_EQ(hwaxsim::CallCount("GetPcicfgAddr"), 1);
}

TEST_F(DiscoveryTest, AwakeOrSingleAtiAdapterStartsNothing) {
    struct Case {
        const char* what;
        std::vector<uint32_t> buses;
        bool bTouchesAtiLibrary;
    } cases[] = {
        {"second adapter awake", {3, 5}, true},
        {"single adapter", {3}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        winstub::SetDisplayDevices({5});
        Machine(Adapters(kVendorAti, c.buses));
        atipdlsim::Install();
        hwaxsim::InstallLoadspin();

        EXPECT_EQ(Discover(), static_cast<int>(c.buses.size()));
        EXPECT_TRUE(winstub::Events(EventKind::CreateProcess).empty());
        EXPECT_EQ(LoadedByName("atipdlxx"), c.bTouchesAtiLibrary);
        EXPECT_EQ(LoadedByName("USER32"), c.bTouchesAtiLibrary);
        EXPECT_EQ(hwaxsim::CallCount("ATIDL_EnumPhysicalAdapters"), c.bTouchesAtiLibrary ? 1 : 0);
        EXPECT_EQ(hwaxsim::CallCount("ATIDL_GetPMCurrentActivity"), c.bTouchesAtiLibrary ? 1 : 0);
    }
}

// Configuration space is copied byte for byte and its capability list gives the bus link.
TEST_F(DiscoveryTest, CapabilityListGivesTheBusLink) {
    using Bytes = std::vector<std::pair<int, std::vector<uint8_t>>>;
    // A chain of n capabilities that are neither PCI Express nor AGP, from 0x40 in steps of 8,
    // followed by a PCI Express capability with a x16 link at speed 2.
    auto chainThenExpress = [](int n) {
        Bytes bytes = {{0x34, {0x40}}};
        for (int k = 0; k < n; ++k)
            bytes.push_back({0x40 + 8 * k, {0x05, static_cast<uint8_t>(0x48 + 8 * k)}});
        int p = 0x40 + 8 * n;
        bytes.push_back({p, {0x10}});
        bytes.push_back({p + 0x12, {0x02, 0x01}});
        return bytes;
    };
    // A PCI Express or AGP capability first in the list, at 0x40.
    auto express = [](uint8_t linkCapLo, uint8_t linkStatusLo, uint8_t linkStatusHi) {
        return Bytes{{0x34, {0x40}}, {0x40, {0x10}}, {0x4C, {linkCapLo}},
                     {0x52, {linkStatusLo, linkStatusHi}}};
    };
    auto agp = [](uint8_t status, uint8_t command) {
        return Bytes{{0x34, {0x40}}, {0x40, {0x02}}, {0x44, {status}}, {0x48, {command}}};
    };
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t type, rate, speedMax, speed;
    } cases[] = {
        // clang-format off
        {"PCIe x16 speed 2",            express(0x01, 0x02, 0x01), 4, 16, 1, 2},
        {"PCIe speed codes 3 kept",     express(0x03, 0x13, 0x00), 4, 1, kKept, kKept},
        {"PCIe x8 speed 1",             express(0x02, 0x81, 0x00), 4, 8, 2, 1},
        {"PCIe width bits only",        express(0x00, 0xF0, 0xFF), 4, 63, kKept, kKept},
        {"AGP 3.0 4x",                  agp(0x01, 0x01), 2, 4, kKept, kKept},
        {"AGP 3.0 8x",                  agp(0x0B, 0x0A), 2, 8, kKept, kKept},
        {"AGP 3.0 other",               agp(0x01, 0x04), 2, 0, kKept, kKept},
        {"AGP 4x",                      agp(0x04, 0x01), 1, 4, kKept, kKept},
        {"AGP 2x",                      agp(0x02, 0x00), 1, 2, kKept, kKept},
        {"AGP other",                   agp(0x06, 0x00), 1, 0, kKept, kKept},
        {"list that loops",             {{0x34, {0x40}}, {0x40, {0x01, 0x48}},
                                         {0x48, {0x05, 0x40}}}, 0, 0, 0, 0},
        {"PCIe after 11 hops",          chainThenExpress(11), 4, 16, kKept, 2},
        {"PCIe after 12 hops",          chainThenExpress(12), 0, 0, 0, 0},
        // Past the block lies zero, which would lead to offset 0 and a PCI Express ID there.
        {"next pointer past the end",   {{0x34, {0xFF}}, {0xFF, {0x01}}, {0x00, {0x10}}},
                                        0, 0, 0, 0},
        {"PCIe registers past the end", {{0x34, {0xED}}, {0xED, {0x10}}}, 0, 0, 0, 0},
        {"PCIe up to the last byte",    {{0x34, {0xEC}}, {0xEC, {0x10}}, {0xFE, {0x02, 0x01}}},
                                        4, 16, kKept, 2},
        {"AGP registers past the end",  {{0x34, {0xF8}}, {0xF8, {0x02}}}, 0, 0, 0, 0},
        {"AGP up to the last byte",     {{0x34, {0xF7}}, {0xF7, {0x02}}, {0xFB, {0x04}}},
                                        1, 4, kKept, kKept},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        hwaxsim::Scenario scenario = Adapters(kVendorNvidia, {3});
        std::array<uint8_t, 256> cfg{};
        for (int k = 0; k < 256; ++k)
            cfg[k] = static_cast<uint8_t>(0x80 + k % 0x70);  // no capability IDs by chance
        for (const auto& [offset, bytes] : c.bytes) {
            for (size_t k = 0; k < bytes.size(); ++k)
                cfg[offset + k] = bytes[k];
        }
        scenario.adapters[0].cfg = cfg;
        Machine(scenario);
        g_VGAInfo.m_nLinkSpeedMax[0] = kKept;
        g_VGAInfo.m_nLinkSpeed[0] = kKept;

        ASSERT_EQ(Discover(), 1);
        EXPECT_EQ(0, memcmp(g_VGAInfo.m_PciCfg[0], cfg.data(), 256));
        EXPECT_EQ(g_VGAInfo.m_BusInfo[0].nBusType, c.type);
        EXPECT_EQ(g_VGAInfo.m_BusInfo[0].nDataRate, c.rate);
        EXPECT_EQ(g_VGAInfo.m_nLinkSpeedMax[0], c.speedMax);
        EXPECT_EQ(g_VGAInfo.m_nLinkSpeed[0], c.speed);
    }
}

TEST_F(DiscoveryTest, EachAdapterGetsItsOwnConfigurationSpace) {
    hwaxsim::Scenario scenario = Adapters(kVendorNvidia, {3, 5});
    scenario.adapters[1].nDevice = 2;
    scenario.adapters[1].cfg = hwaxsim::DefaultConfigSpace(kVendorNvidia, 0x1B80, 0x1043, 0x8600);
    Machine(scenario);

    ASSERT_EQ(Discover(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, memcmp(g_VGAInfo.m_PciCfg[i], scenario.adapters[i].cfg.data(), 256)) << i;
        EXPECT_EQ(g_VGAInfo.m_BusInfo[i].nBusType, 4u) << i;
        EXPECT_EQ(g_VGAInfo.m_BusInfo[i].nDataRate, 16u) << i;
    }
    const PCI_CFG_REQUEST& request = g_VGAInfo.m_PciCfgReq;
    EXPECT_EQ(request.nBus, 5u);
    EXPECT_EQ(request.nDevice, 2u);
    EXPECT_EQ(request.nFunction, 0u);
    EXPECT_EQ(request.nFirstRegister, 0u);
    EXPECT_EQ(request.nDwords, 64u);
    EXPECT_EQ(request.pDest, g_VGAInfo.m_PciCfgBuf);
    // Pairs of adapters not found keep what the driver reported.
    EXPECT_EQ(g_VGAInfo.m_BusInfo[2].nBusType, 0xB0570002u);
    EXPECT_EQ(g_VGAInfo.m_BusInfo[7].nDataRate, 0xDA7A0007u);
    EXPECT_TRUE(hwaxsim::Notes().empty());
}

// Where the ROM answers: NVIDIA looks in the high window and steps through the low one; every
// vendor falls back to the driver's BIOS window.
TEST_F(DiscoveryTest, RomProbeFindsTheWindowAndOffset) {
    constexpr int32_t kNoLow = -1;
    constexpr uint32_t kNv = kVendorNvidia;
    constexpr uint32_t kAti = kVendorAti;
    struct Case {
        const char* what;
        uint32_t vendor;
        int32_t nLowPlacement;  // kNoLow: the low window does not show the ROM
        bool bHigh;
        bool bBiosWindow;
        int32_t expectedOffset;
        BOOL expectedLow, expectedHigh, expectedBiosMMIO;
        int expectedRestores;  // NVIDIA only; -1 not counted
    } cases[] = {
        // clang-format off
        {"NVIDIA low at 0",         kNv,  0,      false, true,  0,     TRUE,  FALSE, FALSE, 1},
        {"NVIDIA low, 3rd probe",   kNv,  0x400,  false, true,  0x400, TRUE,  FALSE, FALSE, 1},
        {"NVIDIA low, 5th probe",   kNv,  0x800,  false, true,  0x800, TRUE,  FALSE, FALSE, 1},
        {"NVIDIA low, last probe",  kNv,  0xA00,  false, true,  0xA00, TRUE,  FALSE, FALSE, 1},
        {"NVIDIA low beyond",       kNv,  0xC00,  false, true,  0xA00, FALSE, FALSE, TRUE,  1},
        {"NVIDIA nowhere",          kNv,  0xC00,  false, false, 0xA00, FALSE, FALSE, FALSE, 1},
        {"NVIDIA high",             kNv,  kNoLow, true,  true,  0,     FALSE, TRUE,  TRUE,  2},
        {"NVIDIA high, no BIOS",    kNv,  kNoLow, true,  false, 0,     FALSE, TRUE,  FALSE, 2},
        {"ATI low at 0",            kAti, 0,      false, true,  0,     TRUE,  FALSE, FALSE, -1},
        {"ATI takes no steps",      kAti, 0x200,  false, true,  0,     FALSE, FALSE, TRUE,  -1},
        {"ATI nowhere",             kAti, kNoLow, false, false, 0,     FALSE, FALSE, FALSE, -1},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        hwaxsim::Scenario scenario = Adapters(c.vendor, {3});
        hwaxsim::AdapterConfig& adapter = scenario.adapters[0];
        adapter.bRomLow = c.nLowPlacement != kNoLow;
        adapter.nLowPlacement = c.nLowPlacement != kNoLow ? c.nLowPlacement : 0;
        adapter.bRomHigh = c.bHigh;
        adapter.bBiosWindow = c.bBiosWindow;
        // An older NVIDIA chip: every window restore writes 1 to 0x1850.
        if (c.vendor == kVendorNvidia)
            adapter.regs[0xA00] = 0x0C4000A1;
        Machine(scenario);

        ASSERT_EQ(Discover(), 1);
        EXPECT_EQ(g_VGAInfo.m_nBIOSOffset, c.expectedOffset);
        EXPECT_EQ(g_VGAInfo.m_bBiosLow[0], c.expectedLow);
        EXPECT_EQ(g_VGAInfo.m_bBiosHigh[0], c.expectedHigh);
        EXPECT_EQ(g_bBiosMMIO, c.expectedBiosMMIO);
        EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));
        if (c.expectedRestores >= 0) {
            int nRestores = 0;
            for (const hwaxsim::LogEntry& w : hwaxsim::Writes())
                nRestores += w.nOffset == 0x1850 && w.dwValue == 1;
            EXPECT_EQ(nRestores, c.expectedRestores);
        }
    }
}

TEST_F(DiscoveryTest, RomOffsetCarriesOverToTheNextAdapter) {
    hwaxsim::Scenario scenario = Adapters(kVendorNvidia, {3, 5});
    scenario.adapters[0].nLowPlacement = 0x400;
    scenario.adapters[1].nLowPlacement = 0x400;
    Machine(scenario);

    ASSERT_EQ(Discover(), 2);
    EXPECT_EQ(g_VGAInfo.m_nBIOSOffset, 0x400);
    EXPECT_EQ(g_VGAInfo.m_bBiosLow[0], TRUE);
    EXPECT_EQ(g_VGAInfo.m_bBiosLow[1], TRUE);
    EXPECT_FALSE(g_bBiosMMIO);
}

}  // namespace
