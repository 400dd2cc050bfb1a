// Discovery and the exports of the identity library against an arbitrary access driver.
//
// HWAX.DLL here is a driver that answers anything: FindVGAChip returns any count (negative,
// zero, above 8) and fills the records with any bus, device and subsystem vendor; every read
// returns the next bytes of a stream taken from the input; configuration requests and the bus
// link table are filled from it too; any of its 33 exports may be missing, and its load may
// fail. The ATI PowerPlay library answers any status, bus and activity; the driver API
// library is the simulated one with any bus numbers, or absent; the wake-up program may be
// missing or hang; the host may lie in a folder whose path does not fit the library's
// buffers. Copies of HWAX.DLL, nvapi.dll, atipdlxx.dll and loadspin.exe are planted in the
// current directory and in a directory on PATH. The library is loaded as a host loads it,
// some exports are called with any index, and it is unloaded. Throughout:
//   - the adapter count stays within the 8 records; every adapter index and record the
//     driver is given lies inside the table, every buffer is the library's own of its size;
//   - only the 14 entry points that the library calls are called, and only the ROM-window
//     registers are written, on adapters of the table;
//   - nothing is loaded or started but HWAX.DLL and loadspin.exe from the host's folder,
//     nvapi.dll and atipdlxx.dll from the system directory and USER32; the wake-up program
//     is waited for at most a second and both its handles are closed;
//   - the exports return null or the address of the text they name, the texts are
//     NUL-terminated and at most 60 characters, the count export answers 0 to 8;
//   - only the library's fixed boxes are shown; at unload the driver is released.
#include "cardtag_support.h"
#include "nvsim.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <set>
#include <vector>

namespace {

constexpr const char* kHostDir = "C:\\Program Files\\vrmset";
constexpr const char* kCurrentDir = "C:\\Users\\user\\Downloads";
constexpr const char* kPathDir = "C:\\Tools";
constexpr uint32_t kAtiRegs[5] = {0x1C0, 0x19C, 0x1A0, 0x198, 0xC40};

// ---- The arbitrary driver ---------------------------------------------------------------------

struct Driver {
    std::string stream;  // what reads answer, round and round
    size_t nPos = 0;
    int32_t nFound[2] = {};  // FindVGAChip results for NVIDIA, ATI
    std::vector<VGA_CHIP> records;
    std::multiset<std::string> uncalled;  // exports the library must never call
};
Driver g_driver;

uint32_t Next() {
    const std::string& s = g_driver.stream;
    if (s.empty())
        return 0xFFFFFFFF;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(static_cast<uint8_t>(s[g_driver.nPos])) << (8 * i);
        g_driver.nPos = (g_driver.nPos + 1) % s.size();
    }
    return v;
}

int Count() { return g_VGAInfo.m_nVGACount; }

void CheckAdapter(const char* szExport, int32_t nAdapter) {
    FUZZ_CHECK(nAdapter >= 0 && nAdapter < kMaxAdapters, "%s: adapter %d outside the table", szExport, nAdapter);
}

void CheckRecord(const char* szExport, const VGA_CHIP* pChip, int32_t nAdapter) {
    CheckAdapter(szExport, nAdapter);
    FUZZ_CHECK(pChip == &g_VGAInfo.m_VGAChip[nAdapter] && nAdapter < Count(),
               "%s: record %p for adapter %d of %d", szExport, static_cast<const void*>(pChip), nAdapter, Count());
}

int32_t __cdecl DrvFindVGAChip(uint32_t nVendor, VGA_CHIP* pChips, uint32_t cbSize) {
    FUZZ_CHECK(pChips == g_VGAInfo.m_VGAChip && cbSize == sizeof(g_VGAInfo.m_VGAChip) &&
                   (nVendor == kVendorNvidia || nVendor == kVendorAti),
               "FindVGAChip(0x%X, %p, %u)", nVendor, static_cast<void*>(pChips), cbSize);
    // Whole records, never past the buffer the library gave.
    size_t n = std::min<size_t>(g_driver.records.size(), cbSize / sizeof(VGA_CHIP));
    std::copy_n(g_driver.records.begin(), n, pChips);
    return g_driver.nFound[nVendor == kVendorAti];
}

int32_t __cdecl DrvGetVGAMMIOAddress(VGA_CHIP* pChip, int32_t nAdapter) {
    CheckRecord("GetVGAMMIOAddress", pChip, nAdapter);
    return static_cast<int32_t>(Next());
}

int32_t __cdecl DrvGetVGABIOSAddress(uint32_t nVendor, VGA_CHIP* pChip, int32_t nAdapter) {
    CheckRecord("GetVGABIOSAddress", pChip, nAdapter);
    FUZZ_CHECK(nVendor == g_nVendorId, "GetVGABIOSAddress for vendor 0x%X of 0x%X", nVendor, g_nVendorId);
    return static_cast<int32_t>(Next());
}

int32_t __cdecl DrvBusTypeAndDataRate(BUS_INFO* pBusInfo) {
    FUZZ_CHECK(pBusInfo == g_VGAInfo.m_BusInfo, "BusTypeAndDataRate into %p", static_cast<void*>(pBusInfo));
    for (int i = 0; i < kMaxAdapters; ++i)
        pBusInfo[i] = {Next(), Next()};
    return static_cast<int32_t>(Next());
}

int32_t __cdecl DrvGetPcicfgAddr(PCI_CFG_REQUEST* pRequest) {
    FUZZ_CHECK(pRequest == &g_VGAInfo.m_PciCfgReq && pRequest->pDest == g_VGAInfo.m_PciCfgBuf &&
                   pRequest->nDwords == 64 && pRequest->nFirstRegister == 0 && pRequest->nFunction == 0,
               "configuration request for %u dwords from %u into %p", pRequest->nDwords,
               pRequest->nFirstRegister, static_cast<void*>(pRequest->pDest));
    for (uint32_t k = 0; k < pRequest->nDwords; ++k)
        pRequest->pDest[k] = Next();
    return static_cast<int32_t>(Next());
}

uint32_t __cdecl DrvGetDWORDVGAMMIOData(uint32_t, int32_t nAdapter) {
    CheckAdapter("GetDWORDVGAMMIOData", nAdapter);
    return Next();
}

uint32_t __cdecl DrvGetBYTEVGAMMIOData(uint32_t, int32_t nAdapter) {
    CheckAdapter("GetBYTEVGAMMIOData", nAdapter);
    return Next();
}

int32_t __cdecl DrvWriteDWORDVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nAdapter) {
    CheckAdapter("WriteDWORDVGAMMIOData", nAdapter);
    FUZZ_CHECK((nOffset == 0x50 || nOffset == 0x1850) && nAdapter < Count() && g_nVendorId != kVendorAti,
               "register write 0x%X = 0x%X on adapter %d of %d", nOffset, dwValue, nAdapter, Count());
    return static_cast<int32_t>(Next());
}

uint32_t __cdecl DrvReadMMIODword(uint32_t) { return Next(); }

int32_t __cdecl DrvWriteMMIODword(MMIO_WRITE_REQUEST* pRequest) {
    FUZZ_CHECK(pRequest && std::find(std::begin(kAtiRegs), std::end(kAtiRegs), pRequest->dwOffset) != std::end(kAtiRegs) &&
                   g_nVendorId == kVendorAti && Count() >= 1,
               "default adapter register write 0x%X", pRequest ? pRequest->dwOffset : 0);
    return static_cast<int32_t>(Next());
}

uint32_t __cdecl DrvReadBIOSMMIOWord(uint32_t) { return Next(); }
uint32_t __cdecl DrvReadBIOSMMIOByte(uint32_t) { return Next(); }

uint32_t __cdecl DrvGetWORDVGABIOSData(uint32_t, int32_t nAdapter) {
    CheckAdapter("GetWORDVGABIOSData", nAdapter);
    return Next();
}

uint32_t __cdecl DrvGetBYTEVGABIOSData(uint32_t, int32_t nAdapter) {
    CheckAdapter("GetBYTEVGABIOSData", nAdapter);
    return Next();
}

template <int N>
int32_t __cdecl DrvUncalled() {
    FUZZ_CHECK(false, "the library called the access driver's export %s, which it never calls",
               kHwaxLookupOrder[N]);
    return 0;
}

// The export named at place i of the lookup order, when it is one that the library calls.
void* DriverExport(int i) {
    const char* szName = kHwaxLookupOrder[i];
    struct Named {
        const char* szName;
        void* pfn;
    };
    static const Named kExports[] = {
        {"FindVGAChip", reinterpret_cast<void*>(&DrvFindVGAChip)},
        {"GetVGAMMIOAddress", reinterpret_cast<void*>(&DrvGetVGAMMIOAddress)},
        {"GetVGABIOSAddress", reinterpret_cast<void*>(&DrvGetVGABIOSAddress)},
        {"BusTypeAndDataRate", reinterpret_cast<void*>(&DrvBusTypeAndDataRate)},
        {"GetPcicfgAddr", reinterpret_cast<void*>(&DrvGetPcicfgAddr)},
        {"GetDWORDVGAMMIOData", reinterpret_cast<void*>(&DrvGetDWORDVGAMMIOData)},
        {"GetBYTEVGAMMIOData", reinterpret_cast<void*>(&DrvGetBYTEVGAMMIOData)},
        {"WriteDWORDVGAMMIOData", reinterpret_cast<void*>(&DrvWriteDWORDVGAMMIOData)},
        {"ReadMMIODword", reinterpret_cast<void*>(&DrvReadMMIODword)},
        {"WriteMMIODword", reinterpret_cast<void*>(&DrvWriteMMIODword)},
        {"ReadBIOSMMIOWord", reinterpret_cast<void*>(&DrvReadBIOSMMIOWord)},
        {"ReadBIOSMMIOByte", reinterpret_cast<void*>(&DrvReadBIOSMMIOByte)},
        {"GetWORDVGABIOSData", reinterpret_cast<void*>(&DrvGetWORDVGABIOSData)},
        {"GetBYTEVGABIOSData", reinterpret_cast<void*>(&DrvGetBYTEVGABIOSData)},
    };
    for (const Named& e : kExports)
        if (std::strcmp(e.szName, szName) == 0)
            return e.pfn;
    return nullptr;
}

// The stand-in for an export the library never calls, at place i of the lookup order.
template <int... N>
void* UncalledExport(int i, std::integer_sequence<int, N...>) {
    static void* const kUncalled[] = {reinterpret_cast<void*>(&DrvUncalled<N>)...};
    return kUncalled[i];
}

// ---- The ATI PowerPlay library and the planted copies ------------------------------------------

struct Ati {
    int32_t nEnumStatus;
    uint32_t nBus;
    int32_t nActivityStatus;
    uint32_t nActivity;
};
Ati g_ati;

int32_t __cdecl AtiEnumPhysicalAdapters(int32_t, int32_t nReserved, ATI_ADAPTER_RECORD* pRecord) {
    FUZZ_CHECK(pRecord && pRecord->dwSize == sizeof(ATI_ADAPTER_RECORD) && nReserved == 0,
               "ATIDL_EnumPhysicalAdapters with a bad record");
    if (g_ati.nEnumStatus == 0)
        pRecord->nBus = g_ati.nBus;
    return g_ati.nEnumStatus;
}

int32_t __cdecl AtiGetPMCurrentActivity(int32_t, ATI_ACTIVITY_RECORD* pActivity, ATI_ACTIVITY_QUERY* pQuery) {
    FUZZ_CHECK(pActivity && pActivity->dwSize == sizeof(ATI_ACTIVITY_RECORD) && pQuery && pQuery->nZero == 0 &&
                   pQuery->nBus == g_VGAInfo.m_VGAChip[1].nBus && pQuery->nDevice == g_VGAInfo.m_VGAChip[1].nDevice,
               "ATIDL_GetPMCurrentActivity with a bad record or query");
    if (g_ati.nActivityStatus == 0)
        pActivity->nActivity = g_ati.nActivity;
    return g_ati.nActivityStatus;
}

std::set<std::string> g_planted;
BOOL PlantedMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        g_planted.insert(winstub::PathOf(reinterpret_cast<HMODULE>(hInstance)));
    return TRUE;
}
BOOL RefuseLoad(HINSTANCE, DWORD dwReason, LPVOID) { return dwReason != DLL_PROCESS_ATTACH; }

void Plant() {
    for (const char* dir : {kCurrentDir, kPathDir}) {
        for (const char* name : {"HWAX.DLL", "nvapi.dll", "atipdlxx.dll"}) {
            winstub::ModuleFile file{std::string(dir) + "\\" + name, {}};
            file.dllMain = &PlantedMain;
            winstub::AddFile(file);
        }
        winstub::ProgramFile program;
        program.path = std::string(dir) + "\\loadspin.exe";
        program.run = [path = program.path] { g_planted.insert(path); };
        winstub::AddProgram(program);
    }
    winstub::SetCurrentDir(kCurrentDir);
    winstub::SetPathDirs({kPathDir});
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// ---- The run -------------------------------------------------------------------------------------

void CheckLoadsAndProcesses(const std::string& sHostDir) {
    const std::string sSystemDir = Lower(winstub::kSystemDir);
    int nOpenHandles = 0;
    for (const winstub::Event& e : winstub::Trace()) {
        if (e.kind == winstub::EventKind::LoadLibrary) {
            std::string asked = Lower(e.text);
            bool bAllowed = asked == Lower(sHostDir + "\\HWAX.DLL") || asked == sSystemDir + "\\nvapi.dll" ||
                            asked == sSystemDir + "\\atipdlxx.dll" || asked == "user32" ||
                            asked == Lower(fuzz::kCardtagPath);
            FUZZ_CHECK(bAllowed, "LoadLibrary(\"%s\")", e.text.c_str());
        } else if (e.kind == winstub::EventKind::CreateProcess) {
            FUZZ_CHECK(Lower(e.extra) == Lower(sHostDir + "\\loadspin.exe"),
                       "started \"%s\" (command line \"%s\")", e.extra.c_str(), e.text.c_str());
            FUZZ_CHECK(e.b == sizeof(STARTUPINFOA) && e.c == STARTF_FORCEONFEEDBACK && e.a == 0,
                       "start-up record of the wake-up program");
            if (!e.caption.empty())
                nOpenHandles += 2;
        } else if (e.kind == winstub::EventKind::WaitForObject) {
            FUZZ_CHECK(e.a <= 1000, "waited %u ms for the wake-up program", e.a);
        } else if (e.kind == winstub::EventKind::CloseHandle) {
            --nOpenHandles;
        } else if (e.kind == winstub::EventKind::MessageBox) {
            bool bKnown = (e.text == "ULPS Mode Enable" && e.caption == "TELO VGA PPID") ||
                          (e.text == "MultiGetVGAPPID" && e.caption == "functions") ||
                          (e.text == "NV  for   start" && e.caption == "65535") ||
                          (e.text == "m_BINFO.szBIOSPPID" && e.caption == e.text) ||
                          (e.text == "m_BINFO.szBIOSModelName" && e.caption == e.text);
            FUZZ_CHECK(bKnown && e.a == MB_OK && e.b == 0, "box \"%s\" / \"%s\"", e.text.c_str(), e.caption.c_str());
        }
    }
    FUZZ_CHECK(nOpenHandles == 0, "%d handles of the wake-up program left open", nOpenHandles);
    FUZZ_CHECK(g_planted.empty(), "planted copy used: %s", g_planted.begin()->c_str());
}

void CheckExport(const fuzz::ExportCall& call) {
    if (call.kind == fuzz::TextKind::Count) {
        int n = GetTELOVGACard();
        FUZZ_CHECK(n >= 0 && n <= kMaxAdapters, "GetTELOVGACard answered %d", n);
        return;
    }
    const char* p = fuzz::CallText(call);
    const BIOS_INFO& texts = g_VGAInfo.m_BINFO;
    const char* pNamed = call.kind == fuzz::TextKind::PPID ? texts.szBIOSPPID : texts.szBIOSModelName;
    FUZZ_CHECK(p == nullptr || p == pNamed, "%s(%d) returned %p", call.szName, call.nAdapter,
               static_cast<const void*>(p));
    FUZZ_CHECK(fuzz::Terminated(texts.szBIOSModelName) && fuzz::Terminated(texts.szBIOSPPID) &&
                   std::strlen(texts.szBIOSModelName) <= kIdentityTextMax &&
                   std::strlen(texts.szBIOSPPID) <= kIdentityTextMax,
               "%s(%d): a text is not terminated within 60 characters", call.szName, call.nAdapter);
    bool bInTable = call.nAdapter >= 0 && call.nAdapter < kMaxAdapters;
    if (p)
        FUZZ_CHECK(bInTable && g_VGAInfo.m_VGAChip[call.nAdapter].nSubVendorID == kBoardVendorId,
                   "%s(%d) answered for a record of another vendor", call.szName, call.nAdapter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::Input in(pData, nSize);
    winstub::Reset();
    fuzz::ResetCardtagLibrary();
    g_driver = Driver{};
    g_planted.clear();
    Plant();

    uint8_t b = in.U8();
    const bool bDriver = (b & 3) != 0;
    const bool bDriverLoadFails = (b & 3) == 1;
    const bool bAtiLibrary = b >> 2 & 1;
    const bool bLoadspin = b >> 3 & 1;
    const bool bNvApi = b >> 4 & 1;
    const int nHostPath = b >> 5 & 3;
    const bool bSomeMissing = b >> 7;

    // What the platform offers: IsWow64Process, EnumDisplayDevicesA, the class library's
    // registration of the library (whose failure fails the load).
    uint8_t p = in.U8();
    winstub::SetWow64(!(p & 1), p >> 1 & 1);
    winstub::SetEnumDisplayDevicesExport(!(p & 4));
    const bool bExtensionFails = (p & 0x18) == 0x18;
    classlib::FailNextExtensionInit(bExtensionFails);

    // The host's folder: the usual one, one near and past the library's 256-byte buffer, or a
    // bare file name.
    std::string sHostDir = kHostDir;
    if (nHostPath == 1 || nHostPath == 2)
        sHostDir = "C:\\" + std::string(200 + in.U8() % 80, 'd');
    if (nHostPath == 3)
        winstub::SetHostPath("vrmset.exe");
    else
        winstub::SetHostPath(sHostDir + "\\vrmset.exe");

    // The driver's exports, some perhaps missing.
    uint8_t abMissing[5] = {};
    if (bSomeMissing)
        for (uint8_t& m : abMissing)
            m = in.U8();
    if (bDriver) {
        winstub::ModuleFile file{sHostDir + "\\HWAX.DLL", {}};
        for (int i = 0; i < 33; ++i) {
            if (abMissing[i / 8] >> (i % 8) & 1)
                continue;
            void* pfn = DriverExport(i);
            file.exports.push_back({kHwaxLookupOrder[i], pfn ? pfn : UncalledExport(i, std::make_integer_sequence<int, 33>{})});
        }
        if (bDriverLoadFails)
            file.dllMain = &RefuseLoad;
        winstub::AddFile(file);
    }

    // What discovery finds.
    g_driver.nFound[0] = static_cast<int8_t>(in.U8());
    g_driver.nFound[1] = static_cast<int8_t>(in.U8());
    int nRecords = in.Pick(10);
    for (int i = 0; i < nRecords; ++i) {
        VGA_CHIP r{};
        uint8_t f = in.U8();
        r.nBus = f & 1 ? in.U32() : in.Pick(8);
        r.nDevice = in.Pick(32);
        r.nSubVendorID = f & 2 ? in.U32() : (f & 4 ? kBoardVendorId : kBoardVendorId ^ 1);
        g_driver.records.push_back(r);
    }
    if (bAtiLibrary) {
        g_ati = {static_cast<int8_t>(in.U8()) / 64, in.Pick(8), static_cast<int8_t>(in.U8()) / 64, in.Pick(2)};
        winstub::ModuleFile file{std::string(winstub::kSystemDir) + "\\atipdlxx.dll", {}};
        uint8_t e = in.U8();
        if (!(e & 1))
            file.exports.push_back({"ATIDL_EnumPhysicalAdapters", reinterpret_cast<void*>(&AtiEnumPhysicalAdapters)});
        if (!(e & 2))
            file.exports.push_back({"ATIDL_GetPMCurrentActivity", reinterpret_cast<void*>(&AtiGetPMCurrentActivity)});
        winstub::AddFile(file);
        std::vector<DWORD> displays;
        for (int i = 0; i < (e >> 2 & 3); ++i)
            displays.push_back(in.Pick(8));
        winstub::SetDisplayDevices(displays);
    }
    if (bLoadspin) {
        winstub::ProgramFile program;
        program.path = sHostDir + "\\loadspin.exe";
        uint8_t l = in.U8();
        program.hangs = l & 1;
        program.runMs = 100u * (l >> 1);
        winstub::AddProgram(program);
    }
    nvsim::Scenario scenario;
    if (bNvApi) {
        // The driver API: its GPUs' buses, its initialisation status, the functions it lacks
        // and the calls that fail.
        uint8_t v = in.U8();
        scenario.nGpus = 1 + (v & 3);
        for (uint32_t i = 0; i < scenario.nGpus; ++i)
            scenario.busNumbers.push_back(in.Pick(8));
        scenario.nInitStatus = (v >> 2 & 3) == 3 ? -1 : (v >> 2 & 3) == 2 ? 1 : 0;
        if (v & 0x10)
            scenario.missingIds.push_back(kNvIdEnumPhysicalGPUs);
        if (v & 0x20)
            scenario.missingIds.push_back(kNvIdGpuGetBusId);
        if (v & 0x40)
            scenario.faults.push_back({nvsim::CallKind::Enum, 1, -1});
        if (v & 0x80)
            scenario.faults.push_back({nvsim::CallKind::BusId, 1, -1});
        nvsim::InstallInSystemDir();
    }
    nvsim::Start(scenario);

    // The export calls, then what every read answers.
    std::vector<fuzz::ExportCall> calls;
    int nCalls = in.Pick(4);
    for (int i = 0; i < nCalls; ++i) {
        uint32_t nChoice = in.U8();
        uint8_t nIndex = in.U8();
        int n = nIndex == 0xFF ? INT_MIN : nIndex == 0xFE ? INT_MAX : static_cast<int>(nIndex % 12) - 2;
        calls.push_back(fuzz::ChooseExport(nChoice, n));
    }
    g_driver.stream = in.Bytes(in.Left());

    winstub::AddFile(fuzz::CardtagFile());
    HMODULE hCardtag = LoadLibraryA(fuzz::kCardtagPath);
    if (bExtensionFails) {
        // The load fails after discovery, which released nothing: the object's destruction
        // releases the access driver.
        FUZZ_CHECK(hCardtag == nullptr, "cardtag.dll loaded although its registration failed");
        FUZZ_CHECK(winstub::FindLoaded("HWAX.DLL") == nullptr, "the access driver stays loaded after the failed load");
        CheckLoadsAndProcesses(sHostDir);
        nvsim::Start(nvsim::Scenario{});
        fuzz::ResetCardtagLibrary();
        fuzz::EndRun();
        g_driver = Driver{};
        return 0;
    }
    FUZZ_CHECK(hCardtag != nullptr, "cardtag.dll did not load");
    FUZZ_CHECK(Count() <= kMaxAdapters, "adapter count %d", Count());
    for (const fuzz::ExportCall& call : calls)
        CheckExport(call);
    CheckLoadsAndProcesses(sHostDir);

    FreeLibrary(hCardtag);
    FUZZ_CHECK(winstub::FindLoaded("HWAX.DLL") == nullptr, "the access driver stays loaded after the unload");

    nvsim::Start(nvsim::Scenario{});
    fuzz::ResetCardtagLibrary();
    fuzz::EndRun();
    g_driver = Driver{};
    return 0;
}
