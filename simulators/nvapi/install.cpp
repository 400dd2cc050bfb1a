// Native build: the simulator as a module file of the Win32 stand-in, so that the driver
// API client finds and loads it exactly as it would load the real library.
#include "nvsim.h"

#include <winstub.h>

namespace nvsim {

void InstallInSystemDir(uint32_t checkSum, uint32_t timeDateStamp) {
    winstub::ModuleFile file;
    file.path = std::string(winstub::kSystemDir) + "\\nvapi.dll";
    file.exports = {{"nvapi_QueryInterface", reinterpret_cast<void*>(&QueryInterface)}};
    file.checkSum = checkSum;
    file.timeDateStamp = timeDateStamp;
    winstub::AddFile(file);
}

}  // namespace nvsim
