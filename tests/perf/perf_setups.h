// The situations that the benchmarks time and the call-count checks count. Both set them up
// through these functions, so a count asserted in the tests is the count behind a timing.
#pragma once

#include <windows.h>

#include <cstdint>

#include "hwaxsim.h"
#include "nvapi_contract.h"
#include "nvsim.h"

namespace perf {

// ---- Driver API client ----------------------------------------------------------------------

// Entry points of a driver library that does nothing: each returns at once (0 where it
// returns a status). The direct-call benchmarks call these same functions.
NvAPI_Status __cdecl TrivialI2CReadEx(NvPhysicalGpuHandle, NV_I2C_INFO_V3*, uint32_t*);
void __cdecl TrivialPreCallHook(uint32_t, uint32_t*);
void __cdecl TrivialPostCallHook(uint32_t, uint32_t, uint32_t, NvAPI_Status);

// What the counting variant of that library saw.
struct DriverCalls {
    int nResolver;
    int nInitialize;
    int nPreCallHook;
    int nPostCallHook;
    int nI2CReadEx;
};
extern DriverCalls g_driverCalls;

// A fresh process whose system directory holds an nvapi.dll with the trivial entry points
// (or, with bCounting, entry points that count into g_driverCalls), bound through
// NvAPI_Initialize; then one NvAPI_I2CReadEx, so that its slot is good. False when either
// call does not answer 0.
bool BindTrivialDriver(bool bCounting);

// ---- Identity call ----------------------------------------------------------------------------

// One NVIDIA adapter of the board maker whose 256 KiB ROM carries the PPID text in its last
// bytes, so that the marker scan runs over its whole range before it finds the marker.
constexpr uint32_t kScanRomSize = 0x40000;
constexpr char kScanText[] = "PPIDGV-N970G1 GAMING#SN7X01402221898K3A01.";
constexpr uint32_t kScanMarker = kScanRomSize - (sizeof(kScanText) - 1);
hwaxsim::Scenario ScanScenario();

// The access-driver calls of one GetVGAPPID_Num on that ROM. The scan reads one byte per
// call for each candidate offset 3..0x3FFFB (262137); at the marker 3 more ("PID"); at the
// candidate after it 1 more (its 'P' matches, the 'I' behind it does not); then the 16-byte
// model name with its '#' (17) and the 20-byte PPID with its '.' (21). Opening and restoring
// the ROM window on a newer NVIDIA chip read two registers and write one each.
constexpr int kScanCandidates = 0x3FFFB - 3 + 1;
constexpr int kScanByteReads = kScanCandidates + 3 + 1 + 17 + 21;
constexpr int kScanWindowReads = 4;
constexpr int kScanWindowWrites = 2;
constexpr int kScanDriverCalls = kScanByteReads + kScanWindowReads + kScanWindowWrites;
static_assert(kScanCandidates == 262137);
static_assert(kScanDriverCalls == 262185);

// The same driver calls as that GetVGAPPID_Num, made straight on the bound entry points:
// the floor of the identity call. Returns a value that depends on every byte read.
uint32_t ScanFloor();

// ---- Load-time discovery ------------------------------------------------------------------

// n NVIDIA adapters of the board maker on buses 1..n, with the driver API reporting the same
// GPUs in the same order.
hwaxsim::Scenario DiscoveryScenario(int nAdapters);
nvsim::Scenario DriverApiScenario(int nAdapters);

// ---- Process ------------------------------------------------------------------------------

// A fresh process: HWAX.DLL with this machine beside the host, nvapi.dll with this driver in
// the system directory, cardtag.dll not yet loaded.
void StartProcess(const hwaxsim::Scenario& machine, const nvsim::Scenario& driver);
// Loads cardtag.dll beside the host, as the update program does: discovery runs inside.
HMODULE LoadIdentityLibrary();
// Unloads it (the library releases the access driver) and leaves the library's state as
// before a load, so that nothing of this process is released again at the real exit.
void EndProcess();
// Every call of every access-driver export since the machine was configured or the log cleared.
int AccessDriverCalls();

}  // namespace perf
