// Registers the simulated driver and the wake-up program with the native Win32 stand-in, so
// that the code under test finds them "on disk" and binds them exactly as it would the real
// files: by path, by export name, through the loader's notifications.
#include "hwaxsim.h"

#include <winstub.h>

#include <cstdio>
#include <cstdlib>

namespace hwaxsim {
namespace {

// Export addresses in the member order of kExportNames.
void* const kExportFns[33] = {
    reinterpret_cast<void*>(&WriteI2CByte),          reinterpret_cast<void*>(&WriteI2C),
    reinterpret_cast<void*>(&ReadI2CByte),           reinterpret_cast<void*>(&ReadI2C),
    reinterpret_cast<void*>(&DetectI2CDevice),       reinterpret_cast<void*>(&FindVGAChip),
    reinterpret_cast<void*>(&DefinePort),            reinterpret_cast<void*>(&DefineBaseAddr9X),
    reinterpret_cast<void*>(&GetMapAddress),         reinterpret_cast<void*>(&ReadMMIODword),
    reinterpret_cast<void*>(&WriteMMIODword),        reinterpret_cast<void*>(&ReadMMIOWord),
    reinterpret_cast<void*>(&WriteMMIOWord),         reinterpret_cast<void*>(&ReadMMIOByte),
    reinterpret_cast<void*>(&WriteMMIOByte),         reinterpret_cast<void*>(&IsAGP30),
    reinterpret_cast<void*>(&IsPCIE),                reinterpret_cast<void*>(&ReadBIOSMMIODword),
    reinterpret_cast<void*>(&ReadBIOSMMIOWord),      reinterpret_cast<void*>(&ReadBIOSMMIOByte),
    reinterpret_cast<void*>(&BusTypeAndDataRate),    reinterpret_cast<void*>(&GetPcicfgAddr),
    reinterpret_cast<void*>(&GetVGAMMIOAddress),     reinterpret_cast<void*>(&GetVGABIOSAddress),
    reinterpret_cast<void*>(&GetDWORDVGAMMIOData),   reinterpret_cast<void*>(&GetWORDVGAMMIOData),
    reinterpret_cast<void*>(&GetBYTEVGAMMIOData),    reinterpret_cast<void*>(&WriteDWORDVGAMMIOData),
    reinterpret_cast<void*>(&WriteWORDVGAMMIOData),  reinterpret_cast<void*>(&WriteBYTEVGAMMIOData),
    reinterpret_cast<void*>(&GetDWORDVGABIOSData),   reinterpret_cast<void*>(&GetWORDVGABIOSData),
    reinterpret_cast<void*>(&GetBYTEVGABIOSData),
};

int g_nLoadspinRuns = 0;

BOOL DriverMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH && CurrentScenario().bLoadFails) {
        AddEntry("hwax", EntryKind::Note, "DllMain", "load refused by the scenario");
        return FALSE;
    }
    if (dwReason == DLL_PROCESS_DETACH) LogCounts();
    return TRUE;
}

}  // namespace

void Install(const std::string& path, const std::vector<std::string>& omit) {
    for (const std::string& name : omit) {
        bool known = false;
        for (const char* e : kExportNames) known |= name == e;
        if (!known) {
            std::fprintf(stderr, "hwaxsim::Install: no export named %s\n", name.c_str());
            std::abort();
        }
    }
    winstub::ModuleFile file;
    file.path = path;
    for (int e = 0; e < 33; ++e) {
        bool dropped = false;
        for (const std::string& name : omit) dropped |= name == kExportNames[e];
        if (!dropped) file.exports.push_back({kExportNames[e], kExportFns[e]});
    }
    file.dllMain = &DriverMain;
    winstub::AddFile(file);
}

void InstallLoadspin(const std::string& path) {
    const LoadspinConfig& config = CurrentScenario().loadspin;
    g_nLoadspinRuns = 0;
    winstub::ProgramFile program;
    program.path = path;
    program.runMs = config.nRunMs;
    program.hangs = config.bHangs;
    const bool bWakes = config.bWakes;
    program.run = [bWakes] {
        ++g_nLoadspinRuns;
        CountCall("loadspin");
        AddEntry("loadspin", EntryKind::Call, "loadspin", bWakes ? "run, wakes" : "run");
        if (bWakes) MarkAwake();
    };
    winstub::AddProgram(program);
}

int LoadspinRuns() { return g_nLoadspinRuns; }

}  // namespace hwaxsim
