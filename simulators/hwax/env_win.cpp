// Windows builds of the simulators: the scenario, the log file and the shared state folder
// come from the environment of the process that loads them.
#include "hwaxsim.h"

namespace hwaxsim {
namespace {

std::string Env(const char* name) {
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

}  // namespace

bool ConfigureFromEnvironment(std::string* pError) {
    SetLogFile(Env("HWAXSIM_LOG"));
    SetStateDir(Env("HWAXSIM_STATE"));
    const std::string path = Env("HWAXSIM_SCENARIO");
    Scenario scenario;
    if (!path.empty() && !LoadScenarioFile(path, scenario, pError)) {
        Configure(Scenario{});
        return false;
    }
    Configure(scenario);
    return true;
}

}  // namespace hwaxsim
