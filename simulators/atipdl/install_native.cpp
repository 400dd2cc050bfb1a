// Registers the simulated ATI PowerPlay library with the native Win32 stand-in.
#include "atipdlsim.h"

#include "hwaxsim.h"

#include <winstub.h>

#include <cstdio>
#include <cstdlib>

namespace atipdlsim {
namespace {

BOOL LibraryMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH && hwaxsim::CurrentScenario().ati.bLoadFails) {
        hwaxsim::AddEntry("atipdl", hwaxsim::EntryKind::Note, "DllMain", "load refused by the scenario");
        return FALSE;
    }
    return TRUE;
}

}  // namespace

void Install(const std::string& path, const std::vector<std::string>& omit) {
    const winstub::Export all[] = {
        {"ATIDL_EnumPhysicalAdapters", reinterpret_cast<void*>(&ATIDL_EnumPhysicalAdapters)},
        {"ATIDL_GetPMCurrentActivity", reinterpret_cast<void*>(&ATIDL_GetPMCurrentActivity)},
    };
    for (const std::string& name : omit) {
        if (name != all[0].name && name != all[1].name) {
            std::fprintf(stderr, "atipdlsim::Install: no export named %s\n", name.c_str());
            std::abort();
        }
    }
    winstub::ModuleFile file;
    file.path = path;
    for (const winstub::Export& e : all) {
        bool dropped = false;
        for (const std::string& name : omit) dropped |= name == e.name;
        if (!dropped) file.exports.push_back(e);
    }
    file.dllMain = &LibraryMain;
    winstub::AddFile(file);
}

}  // namespace atipdlsim
