// Simulated GPU driver API library (nvapi.dll) with a power IC on each GPU's I2C bus.
//
// One source serves two builds:
//   - natively, the static library `nvsim`: tests set a Scenario, register the simulator as
//     "C:\windows\system32\nvapi.dll" in the Win32 stand-in (InstallInSystemDir) and read the
//     structured log (Log);
//   - on Windows, a real i686 nvapi.dll (target `nvapi_sim`, one export
//     `nvapi_QueryInterface`, cdecl, undecorated) that reads its scenario at load from the file
//     named by the environment variable NVSIM_SCENARIO (absent: the defaults below) and appends
//     one text line per event, flushed, to the file named by NVSIM_LOG (absent: no file).
//
// What is modelled
//   GPUs: `gpus` GPUs in table order; handle i is the opaque non-null value
//   kHandleBase + i * kHandleStride. A handle that is not one of a modelled GPU is refused with
//   kStatusInvalidHandle. Every function but NvAPI_Initialize answers
//   kStatusNotInitialized until an NvAPI_Initialize call returned a status >= 0.
//
//   Interface IDs answered by nvapi_QueryInterface (null for every other ID, for IDs listed
//   in `missing`, and for hooks that `hooks` does not offer):
//     0x0150E828 NvAPI_Initialize()                      status = `init` (default 0)
//     0x33C7358C pre-call hook (id, uint32_t words[2])    writes words = {id, hook counter}
//     0x593E8644 post-call hook (id, word0, word1, status)
//     0xE5AC921F NvAPI_EnumPhysicalGPUs(handles[64], uint32_t* count)
//     0x4D7B0709 NvAPI_I2CReadEx(handle, NV_I2C_INFO_V3*, uint32_t* arg3)
//     0x1BE0B8E5 NvAPI_GPU_GetBusId(handle, uint32_t* bus)
//   The hook counter counts pre-call hook calls since the scenario started (first call: 1).
//
//   Power IC, one per GPU, 8-bit address 0x88 on I2C port 1. Every command is one
//   NvAPI_I2CReadEx whose register address is the 3-byte command, with a 2-byte read:
//     D0 rr vv   sets reg[rr] = vv; answers {0x5A, vv}
//     D1 rr xx   answers {0x5A, reg[rr]}
//   Nothing answers (kStatusNoAck, no byte written) a transaction with bIsDDCPort != 0,
//   bIsPortIdSet == 0, portId != 1, i2cDevAddress != 0x88, regAddrSize != 3, cbSize != 2 or
//   an unknown command byte; a version other than 0x0003002C gives kStatusIncompatibleVersion,
//   a null record or buffer kStatusInvalidArgument.
//
//   Control register 0x80 runs the IC's update: D0 80 04, then D0 80 80, then D0 80 40, with
//   1A/23/1D holding 97/78/50 when the 04 arrives. After the 04 the IC is busy for 150 ms,
//   after the 80 for 550 ms, after the 40 for 1500 ms (from the time of the call, on the
//   simulator's clock). A transaction on a busy IC fails with kStatusBusy and spoils the
//   sequence. So does a 04 with another configuration, a control value out of order or
//   unknown, and a write to another register between the 04 and the 40. A 04 always starts
//   a new sequence. Register 0x80 reads:
//     before any 04               its initial value (default 0x01, `regs` can set it)
//     after the 04 / after the 80 0x04 / 0x80
//     after a correct sequence    `completion` (default 0x00)
//     after a spoiled sequence    kSpoiledValue
//
// Scenario text format: one `key = value` per line; '#' at the start of a line or after a
// blank starts a comment (in `i2c#3` it does not); blank lines are ignored; a later line replaces an earlier one of the same key. Numbers are decimal or
// 0x-hex; register numbers and byte values are hex with or without 0x. Keys:
//   gpus = 2                      modelled GPUs, 0..64 (default 1)
//   bus = 1 2                     bus number of GPU 0, 1, ... (default: index + 1)
//   regs = 1A=00 23=00 1D=00      initial registers of every GPU (default all 0, 80=01)
//   regs.1 = 1A=97                initial registers of GPU 1 only, applied after `regs`
//   completion = 00               register 0x80 after a correct sequence
//   init = 0                      status of NvAPI_Initialize (negative or positive)
//   missing = 0x33C7358C 0x...    interface IDs the resolver answers null for
//   hooks = both|pre|post|none    which call hooks are offered (default both)
//   count = 0                     count that enumeration reports instead of `gpus`; up to 64
//                                 that many handles are written (those beyond the modelled
//                                 GPUs are unique but refused); above 64 only 64 handles are
//                                 written while the larger count is reported
//   fail = enum#2:-1 i2c#3:-5     the n-th call (from 1) of init|enum|i2c|bus fails with the
//                                 status: nothing is written and the IC is not reached
//   untouched = i2c#7             the n-th I2C call answers 0 without reaching the IC and
//                                 without writing the response buffer
//   scribble = i2c#2              after the n-th I2C call the driver leaves other values in
//                                 the caller's record: displayMask, i2cSpeed, i2cSpeedKhz =
//                                 kScribble, pbI2cRegAddress = null, regAddrSize = 0
//   slack = 0                     microseconds before the end of a busy time from which the
//                                 IC already answers (for real clocks that round)
//
// Log line format (Windows: one line per event in the NVSIM_LOG file). <ms> is the
// simulator's clock (QueryPerformanceCounter) in milliseconds with three decimals; under
// Wine that clock is shared by all processes, so logs of several processes merge by it.
// Numbers are decimal unless shown with 0x; bytes are two hex digits; '-' means none.
//   <ms> attach scenario=<path or -> log=<path or ->          (Windows only, at load)
//   <ms> error scenario line=<n> <message>                     (Windows only, bad scenario)
//   <ms> query id=0x0150E828 answered=1
//   <ms> init status=0
//   <ms> pre id=0x4D7B0709 in=0x00000000,0x00000000 out=0x4D7B0709,0x00000001
//   <ms> post id=0x4D7B0709 words=0x4D7B0709,0x00000001 status=0
//   <ms> enum status=0 count=2
//   <ms> busid gpu=0 handle=0x4E560000 status=0 bus=1
//   <ms> i2c gpu=0 handle=0x4E560000 ver=0x0003002C mask=0 ddc=0 addr=0x88 cmd=D0,1A,97
//        regsize=3 cb=2 speed=0 khz=6 port=1 portset=1 arg3=1,0 status=0 resp=5A,97
//        regptr=0x0019FE20 dataptr=0x0019FE24                  (one line in the file)
// gpu is -1 for a handle that is not a modelled GPU; the i2c fields are those of the record
// as the call received it (cmd: regAddrSize bytes, at most 16); resp: the bytes written into
// pbData. A call with a null record logs `ver=-` and nothing after it but arg3, status, resp.
#pragma once

#include "nvapi_contract.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nvsim {

// Statuses of the simulated driver (0 is success, as everywhere in the driver API).
constexpr NvAPI_Status kStatusNotInitialized = -4;
constexpr NvAPI_Status kStatusInvalidArgument = -5;
constexpr NvAPI_Status kStatusInvalidHandle = -8;
constexpr NvAPI_Status kStatusIncompatibleVersion = -9;
constexpr NvAPI_Status kStatusNoAck = -10;  // no device answered the transaction
constexpr NvAPI_Status kStatusBusy = -11;   // the power IC is busy with its update

constexpr uint32_t kHandleBase = 0x4E560000;
constexpr uint32_t kHandleStride = 0x100;
constexpr uint8_t kPowerIcAddress = 0x88;
constexpr uint8_t kPowerIcPort = 1;
constexpr uint8_t kResponseByte0 = 0x5A;
constexpr uint8_t kSpoiledValue = 0xEE;
constexpr uint32_t kScribble = 0x55;
constexpr unsigned kMaxGpus = 64;

enum class Hooks { Both, Pre, Post, None };
enum class CallKind { Init, Enum, I2C, BusId };

struct Fault {
    CallKind kind;
    uint32_t nCall;  // 1 = first call of that kind
    NvAPI_Status status;
};

struct RegisterInit {
    int gpu;  // -1: every GPU
    uint8_t reg;
    uint8_t value;
};

struct Scenario {
    uint32_t nGpus = 1;
    std::vector<uint32_t> busNumbers;
    std::vector<RegisterInit> registers;  // applied in order over the defaults
    uint8_t nCompletion = 0x00;
    NvAPI_Status nInitStatus = 0;
    std::vector<uint32_t> missingIds;
    Hooks hooks = Hooks::Both;
    int64_t nCount = -1;  // -1: report the modelled GPUs
    std::vector<Fault> faults;
    std::vector<uint32_t> untouchedI2c;  // call numbers, from 1
    std::vector<uint32_t> scribbleI2c;
    uint32_t nSlackUs = 0;
};

// Parses the text format above over the defaults. On a bad line: false, *pnLine and
// *pstrError say where and why, and `out` is left unchanged.
bool ParseScenario(const std::string& text, Scenario& out, int* pnLine, std::string* pstrError);

enum class EventKind { Query, Init, PreHook, PostHook, Enum, BusId, I2C };

struct Event {
    EventKind kind = EventKind::Query;
    int64_t usec = 0;         // simulator clock
    uint32_t id = 0;          // Query: ID asked; hooks: ID of the bracketed call
    bool answered = false;    // Query
    NvAPI_Status status = 0;  // Init, PostHook, Enum, BusId, I2C
    uint32_t wordsIn[2] = {}; // PreHook: words as received
    uint32_t words[2] = {};   // PreHook: words as written; PostHook: words received
    uint32_t count = 0;       // Enum: count reported (when the status is 0)
    int gpu = -1;             // BusId, I2C: modelled GPU, -1 for any other handle
    uint32_t handle = 0;      // BusId, I2C
    uint32_t bus = 0;         // BusId: bus number written
    bool hasInfo = false;     // I2C: a record was given
    NV_I2C_INFO_V3 info{};    // I2C: the record as received
    std::vector<uint8_t> cmd; // I2C: regAddrSize bytes at pbI2cRegAddress (at most 16)
    bool hasArg3 = false;
    uint32_t arg3[2] = {};    // I2C: the two words behind the third argument
    std::vector<uint8_t> resp;  // I2C: bytes written into pbData
};

// One line of the log format above, without the line end.
std::string FormatEvent(const Event& event);

// The resolver, exported by the DLL as nvapi_QueryInterface.
void* __cdecl QueryInterface(uint32_t id);

// Starts a scenario: every GPU, register, counter and the log back to the scenario's start.
void Start(const Scenario& scenario);
const std::vector<Event>& Log();
// Receives every event as it is logged (the DLL writes its file through it); null: none.
void SetLogSink(void (*pfnSink)(const Event&));
// What D1 would answer for a register of a modelled GPU now, without a bus transaction.
uint8_t PeekRegister(unsigned gpu, uint8_t reg);
NvPhysicalGpuHandle HandleOf(unsigned gpu);
// Microseconds of QueryPerformanceCounter (natively the stand-in's clock).
int64_t NowUsec();

// Native build only: adds the simulator to the Win32 stand-in as the file
// "C:\windows\system32\nvapi.dll" exporting nvapi_QueryInterface, with these image identity
// words.
void InstallInSystemDir(uint32_t checkSum = 0x0001A2B3, uint32_t timeDateStamp = 0x5F000000);

}  // namespace nvsim
