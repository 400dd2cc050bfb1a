// The simulated ATI PowerPlay library: which adapter the ATI driver puts first for a display,
// and the activity (zero while in ultra-low-power sleep) of an adapter, answered from the
// machine of the simulated access driver.
#include "atipdlsim.h"

#include "hwaxsim.h"

#include <string>

namespace {

using namespace hwaxsim;

constexpr const char* kEnum = "ATIDL_EnumPhysicalAdapters";
constexpr const char* kActivity = "ATIDL_GetPMCurrentActivity";

void Call(const char* name, const std::string& text) {
    AddEntry("atipdl", EntryKind::Call, name, text);
}

int32_t Refuse(const char* name, const std::string& args, const std::string& why) {
    Call(name, args + " -> " + std::to_string(atipdlsim::kStatusInvalidParam));
    AddEntry("atipdl", EntryKind::Note, name, why);
    return atipdlsim::kStatusInvalidParam;
}

bool DisplayAccepted(int32_t nDisplay) {
    const auto& display = CurrentScenario().ati.display;
    return !display || *display == nDisplay;
}

// The first ATI adapter at that place, -1 when none.
int FindAti(uint32_t nBus, uint32_t nDevice) {
    const auto& list = CurrentScenario().adapters;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].nVendorId == kVendorAti && list[i].nBus == nBus && list[i].nDevice == nDevice)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

extern "C" {

int32_t __cdecl ATIDL_EnumPhysicalAdapters(int32_t nDisplay, int32_t nReserved, uint32_t* pRecord) {
    CountCall(kEnum);
    RefreshWakeState("atipdl");
    std::string args = "display=" + std::to_string(nDisplay) + " reserved=" + std::to_string(nReserved);
    if (!pRecord) return Refuse(kEnum, args + " record=null", "null record");
    args += " size=" + std::to_string(pRecord[0]);
    if (pRecord[0] != atipdlsim::kAdapterRecordSize)
        return Refuse(kEnum, args, "record size " + std::to_string(pRecord[0]) + ", 80 expected");
    if (!DisplayAccepted(nDisplay)) return Refuse(kEnum, args, "no such display");
    const Scenario& s = CurrentScenario();
    if (s.ati.nEnumResult != 0) {
        Call(kEnum, args + " -> " + std::to_string(s.ati.nEnumResult));
        return s.ati.nEnumResult;
    }
    uint32_t bus = kAllOnes;
    if (s.ati.firstBus) {
        bus = *s.ati.firstBus;
    } else {
        for (const AdapterConfig& a : s.adapters) {
            if (a.nVendorId == kVendorAti) {
                bus = a.nBus;
                break;
            }
        }
    }
    pRecord[1] = bus;
    for (uint32_t w = 2; w < atipdlsim::kAdapterRecordSize / 4; ++w) pRecord[w] = 0xA7D10000 + w;
    Call(kEnum, args + " -> 0 bus=" + std::to_string(static_cast<int32_t>(bus)));
    return 0;
}

int32_t __cdecl ATIDL_GetPMCurrentActivity(int32_t nDisplay, uint32_t* pActivity, uint32_t* pQuery) {
    CountCall(kActivity);
    RefreshWakeState("atipdl");
    std::string args = "display=" + std::to_string(nDisplay);
    if (!pActivity || !pQuery) return Refuse(kActivity, args + " null pointer", "null record or query");
    args += " size=" + std::to_string(pActivity[0]) + " query=" + std::to_string(pQuery[0]) + "," +
            std::to_string(pQuery[1]) + "," + std::to_string(pQuery[2]);
    if (pActivity[0] != atipdlsim::kActivityRecordSize)
        return Refuse(kActivity, args, "record size " + std::to_string(pActivity[0]) + ", 40 expected");
    if (!DisplayAccepted(nDisplay)) return Refuse(kActivity, args, "no such display");
    int i = pQuery[2] == 0 ? FindAti(pQuery[0], pQuery[1]) : -1;
    if (i < 0) return Refuse(kActivity, args, "query names no ATI adapter");
    const Scenario& s = CurrentScenario();
    if (s.ati.nActivityResult != 0) {
        Call(kActivity, args + " -> " + std::to_string(s.ati.nActivityResult));
        return s.ati.nActivityResult;
    }
    pActivity[1] = IsAsleep(i) ? 0 : s.ati.nAwakeActivity;
    for (uint32_t w = 2; w < atipdlsim::kActivityRecordSize / 4; ++w) pActivity[w] = 0xAC770000 + w;
    Call(kActivity, args + " -> 0 activity=" + std::to_string(pActivity[1]));
    return 0;
}

}  // extern "C"
