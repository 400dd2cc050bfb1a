// Simulated ATI PowerPlay library atipdlxx.dll: answers which adapter the ATI driver treats as
// first for a display, and whether an adapter is in its ultra-low-power sleep.
//
// It works on the machine of the simulated access driver (hwaxsim.h): the ATI adapters, their
// sleep state and the `ati.*` keys of the same scenario. Natively it is the static library
// `atipdlsim`; on Windows the DLL atipdlxx.dll reads the scenario named by HWAXSIM_SCENARIO at
// DLL_PROCESS_ATTACH, sees the wake-up program's marker in HWAXSIM_STATE and appends its log
// lines ("atipdl call ...", "atipdl note ...") to HWAXSIM_LOG.
//
// Calls (every record is little-endian 32-bit words):
//   ATIDL_EnumPhysicalAdapters(display, reserved, record):
//     record word 0 must be 80 (the record's size), else -3 and nothing written; a display
//     other than ati.display (when set) gives -3; a forced ati.enum_result other than 0 is
//     returned with nothing written. On success all 80 bytes are written: word 0 stays 80,
//     word 1 = the bus of the adapter the driver treats as first (ati.first_bus, else the
//     first ATI adapter's bus; -1 when there is none), words 2-19 = 0xA7D10000 + word index;
//     result 0.
//   ATIDL_GetPMCurrentActivity(display, activity, query):
//     activity word 0 must be 40, the query {bus, device, 0} must name an ATI adapter with
//     its third word 0, the display as above; else -3 and nothing written. A forced
//     ati.activity_result other than 0 is returned with nothing written. On success all 40
//     bytes are written: word 0 stays 40, word 1 = 0 when the adapter is asleep, else
//     ati.awake_activity; words 2-9 = 0xAC770000 + word index; result 0.
// Every call is a Call entry in hwaxsim::Log() (export name, the text gives the arguments and
// the result) and counted by hwaxsim::CallCount(); refused calls also leave a Note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace atipdlsim {

constexpr int32_t kStatusInvalidParam = -3;
constexpr uint32_t kAdapterRecordSize = 80;
constexpr uint32_t kActivityRecordSize = 40;

#ifndef _WIN32
// The library as a DLL file at path, with both exports except those named in omit. Loading
// it fails when the scenario says atipdl.load_fails.
void Install(const std::string& path = "C:\\windows\\system32\\atipdlxx.dll",
             const std::vector<std::string>& omit = {});
#endif

}  // namespace atipdlsim

extern "C" {
int32_t __cdecl ATIDL_EnumPhysicalAdapters(int32_t nDisplay, int32_t nReserved, uint32_t* pRecord);
int32_t __cdecl ATIDL_GetPMCurrentActivity(int32_t nDisplay, uint32_t* pActivity,
                                           uint32_t* pQuery);
}
