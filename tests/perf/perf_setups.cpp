#include "perf_setups.h"

#include <string>

#include "cardtag_fixture.h"
#include "nvloader.h"
#include "nvwrappers.h"
#include "winstub.h"

namespace perf {

DriverCalls g_driverCalls;

namespace {

// Any non-null handle: the trivial library looks at none of its arguments.
NvPhysicalGpuHandle const kGpu = reinterpret_cast<NvPhysicalGpuHandle>(0x4E560000);

NvAPI_Status __cdecl TrivialInitialize() { return NVAPI_OK; }

void* __cdecl TrivialQueryInterface(uint32_t id) {
    switch (id) {
    case kNvIdInitialize: return reinterpret_cast<void*>(&TrivialInitialize);
    case kNvIdPreCallHook: return reinterpret_cast<void*>(&TrivialPreCallHook);
    case kNvIdPostCallHook: return reinterpret_cast<void*>(&TrivialPostCallHook);
    case kNvIdI2CReadEx: return reinterpret_cast<void*>(&TrivialI2CReadEx);
    default: return nullptr;
    }
}

NvAPI_Status __cdecl CountingInitialize() {
    ++g_driverCalls.nInitialize;
    return NVAPI_OK;
}
void __cdecl CountingPreCallHook(uint32_t, uint32_t*) { ++g_driverCalls.nPreCallHook; }
void __cdecl CountingPostCallHook(uint32_t, uint32_t, uint32_t, NvAPI_Status) {
    ++g_driverCalls.nPostCallHook;
}
NvAPI_Status __cdecl CountingI2CReadEx(NvPhysicalGpuHandle, NV_I2C_INFO_V3*, uint32_t*) {
    ++g_driverCalls.nI2CReadEx;
    return NVAPI_OK;
}

void* __cdecl CountingQueryInterface(uint32_t id) {
    ++g_driverCalls.nResolver;
    switch (id) {
    case kNvIdInitialize: return reinterpret_cast<void*>(&CountingInitialize);
    case kNvIdPreCallHook: return reinterpret_cast<void*>(&CountingPreCallHook);
    case kNvIdPostCallHook: return reinterpret_cast<void*>(&CountingPostCallHook);
    case kNvIdI2CReadEx: return reinterpret_cast<void*>(&CountingI2CReadEx);
    default: return nullptr;
    }
}

}  // namespace

NvAPI_Status __cdecl TrivialI2CReadEx(NvPhysicalGpuHandle, NV_I2C_INFO_V3*, uint32_t*) {
    return NVAPI_OK;
}
void __cdecl TrivialPreCallHook(uint32_t, uint32_t*) {}
void __cdecl TrivialPostCallHook(uint32_t, uint32_t, uint32_t, NvAPI_Status) {}

bool BindTrivialDriver(bool bCounting) {
    winstub::Reset();
    g_nvLoader = NvLoaderState{};
    g_slotEnumPhysicalGPUs = FunctionSlot{};
    g_slotI2CReadEx = FunctionSlot{};
    g_driverCalls = DriverCalls{};

    winstub::ModuleFile file;
    file.path = std::string(winstub::kSystemDir) + "\\nvapi.dll";
    file.exports = {{"nvapi_QueryInterface",
                     bCounting ? reinterpret_cast<void*>(&CountingQueryInterface)
                               : reinterpret_cast<void*>(&TrivialQueryInterface)}};
    file.checkSum = 0x0001A2B3;
    winstub::AddFile(file);
    if (NvAPI_Initialize() != NVAPI_OK)
        return false;
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    return NvAPI_I2CReadEx(kGpu, &info, arg3) == NVAPI_OK;
}

hwaxsim::Scenario ScanScenario() {
    hwaxsim::Scenario s;
    hwaxsim::AdapterConfig a = hwaxsim::NvidiaAdapter(1);
    a.rom.resize(kScanRomSize, 0x00);
    hwaxsim::PutRomText(a.rom, kScanMarker, kScanText);
    s.adapters.push_back(a);
    return s;
}

uint32_t ScanFloor() {
    const HWAX_ENTRIES& e = g_VGAInfo.m_Entry;
    constexpr uint32_t kLowWindow = 0x300000;
    constexpr uint32_t kBoot = 0xA00;
    constexpr uint32_t kRomEnable = 0x50;

    e.GetDWORDVGAMMIOData(kBoot, 0);
    e.WriteDWORDVGAMMIOData(kRomEnable, e.GetDWORDVGAMMIOData(kRomEnable, 0) | 1, 0);

    uint32_t dwSum = 0;
    for (uint32_t p = 3; p <= 0x3FFFB; ++p)
        dwSum += e.GetBYTEVGAMMIOData(kLowWindow + p, 0);
    const uint32_t nMarker = kLowWindow + kScanMarker;
    for (uint32_t k = 1; k <= 3; ++k)
        dwSum += e.GetBYTEVGAMMIOData(nMarker + k, 0);
    dwSum += e.GetBYTEVGAMMIOData(nMarker + 2, 0);
    for (uint32_t k = 4; k < 4 + 17 + 21; ++k)
        dwSum += e.GetBYTEVGAMMIOData(nMarker + k, 0);

    e.GetDWORDVGAMMIOData(kBoot, 0);
    if (e.GetDWORDVGAMMIOData(kRomEnable, 0) != 0)
        e.WriteDWORDVGAMMIOData(kRomEnable, 0, 0);
    return dwSum;
}

hwaxsim::Scenario DiscoveryScenario(int nAdapters) {
    hwaxsim::Scenario s;
    for (int i = 0; i < nAdapters; ++i)
        s.adapters.push_back(hwaxsim::NvidiaAdapter(static_cast<uint32_t>(i + 1)));
    return s;
}

nvsim::Scenario DriverApiScenario(int nAdapters) {
    nvsim::Scenario s;
    s.nGpus = static_cast<uint32_t>(nAdapters);
    for (int i = 0; i < nAdapters; ++i)
        s.busNumbers.push_back(static_cast<uint32_t>(i + 1));
    return s;
}

void StartProcess(const hwaxsim::Scenario& machine, const nvsim::Scenario& driver) {
    winstub::Reset();
    hwaxsim::Configure(machine);
    cardtag_test::ResetLibraryState();
    hwaxsim::Install();
    nvsim::Start(driver);
    nvsim::InstallInSystemDir();
}

HMODULE LoadIdentityLibrary() { return cardtag_test::LoadCardtag(); }

void EndProcess() {
    if (HMODULE h = winstub::FindLoaded(cardtag_test::kCardtagPath))
        FreeLibrary(h);
    cardtag_test::ResetLibraryState();
}

int AccessDriverCalls() {
    int n = 0;
    for (const char* name : hwaxsim::kExportNames)
        n += hwaxsim::CallCount(name);
    return n;
}

}  // namespace perf
