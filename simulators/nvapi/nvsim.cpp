// The simulated driver: resolver, entry points, power-IC model, fault injection and log.
// The driver's entry points are plain C functions without a context argument, so the
// simulator's state is one process-wide object, as a real DLL's state would be.
#include "nvsim.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace nvsim {
namespace {

constexpr uint32_t kIdInitialize = 0x0150E828;
constexpr uint32_t kIdPreCallHook = 0x33C7358C;
constexpr uint32_t kIdPostCallHook = 0x593E8644;
constexpr uint32_t kIdEnumPhysicalGPUs = 0xE5AC921F;
constexpr uint32_t kIdI2CReadEx = 0x4D7B0709;
constexpr uint32_t kIdGpuGetBusId = 0x1BE0B8E5;

constexpr uint8_t kCmdSet = 0xD0;
constexpr uint8_t kCmdQuery = 0xD1;
constexpr uint8_t kRegControl = 0x80;
constexpr uint8_t kCtlStart = 0x04;
constexpr uint8_t kCtlStage = 0x80;
constexpr uint8_t kCtlCommit = 0x40;
constexpr int64_t kBusyAfterStartUs = 150 * 1000;
constexpr int64_t kBusyAfterStageUs = 550 * 1000;
constexpr int64_t kBusyAfterCommitUs = 1500 * 1000;
constexpr size_t kMaxLoggedCmd = 16;

// The configuration the IC's update expects to find when it starts.
struct ConfigValue {
    uint8_t reg;
    uint8_t value;
};
constexpr ConfigValue kExpectedConfig[] = {{0x1A, 0x97}, {0x23, 0x78}, {0x1D, 0x50}};

enum class Stage { Idle, Started, Staged, Done, Spoiled };

struct PowerIc {
    uint8_t regs[256];
    Stage stage;
    int64_t busyUntilUs;
};

struct Simulator {
    Scenario scenario;
    std::vector<PowerIc> ics;
    std::vector<Event> log;
    void (*pfnSink)(const Event&) = nullptr;
    bool bInitialized = false;
    uint32_t nHookCounter = 0;
    uint32_t nCalls[4] = {};  // per CallKind
};

Simulator& Sim() {
    static Simulator s_sim;
    return s_sim;
}

Event NewEvent(EventKind kind) {
    Event e;
    e.kind = kind;
    e.usec = NowUsec();
    return e;
}

void Emit(Event& event) {
    Simulator& sim = Sim();
    sim.log.push_back(event);
    if (sim.pfnSink) sim.pfnSink(sim.log.back());
}

// Counts the call and answers the injected failure status for it, if there is one.
bool TakeCall(CallKind kind, NvAPI_Status* pStatus) {
    Simulator& sim = Sim();
    uint32_t n = ++sim.nCalls[static_cast<int>(kind)];
    for (const Fault& fault : sim.scenario.faults) {
        if (fault.kind == kind && fault.nCall == n) {
            *pStatus = fault.status;
            return true;
        }
    }
    return false;
}

bool Listed(const std::vector<uint32_t>& calls, uint32_t n) {
    return std::find(calls.begin(), calls.end(), n) != calls.end();
}

int GpuOf(NvPhysicalGpuHandle handle) {
    uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
    if (value < kHandleBase || (value - kHandleBase) % kHandleStride != 0) return -1;
    uint32_t index = (value - kHandleBase) / kHandleStride;
    return index < Sim().ics.size() ? static_cast<int>(index) : -1;
}

bool ConfigurationReady(const PowerIc& ic) {
    for (const ConfigValue& c : kExpectedConfig)
        if (ic.regs[c.reg] != c.value) return false;
    return true;
}

uint8_t ReadRegister(const PowerIc& ic, uint8_t reg) {
    if (reg != kRegControl) return ic.regs[reg];
    switch (ic.stage) {
    case Stage::Idle: return ic.regs[kRegControl];
    case Stage::Started: return kCtlStart;
    case Stage::Staged: return kCtlStage;
    case Stage::Done: return Sim().scenario.nCompletion;
    case Stage::Spoiled: break;
    }
    return kSpoiledValue;
}

void WriteControl(PowerIc& ic, uint8_t value, int64_t nowUs) {
    if (value == kCtlStart && ConfigurationReady(ic)) {
        ic.stage = Stage::Started;
        ic.busyUntilUs = nowUs + kBusyAfterStartUs;
    } else if (value == kCtlStage && ic.stage == Stage::Started) {
        ic.stage = Stage::Staged;
        ic.busyUntilUs = nowUs + kBusyAfterStageUs;
    } else if (value == kCtlCommit && ic.stage == Stage::Staged) {
        ic.stage = Stage::Done;
        ic.busyUntilUs = nowUs + kBusyAfterCommitUs;
    } else {
        ic.stage = Stage::Spoiled;
    }
}

// One command on the power IC's bus; false when the IC does not understand it.
bool RunCommand(PowerIc& ic, const uint8_t* pbCmd, uint8_t* pbResp, int64_t nowUs) {
    uint8_t reg = pbCmd[1];
    if (pbCmd[0] == kCmdSet) {
        if (reg == kRegControl) {
            WriteControl(ic, pbCmd[2], nowUs);
        } else {
            ic.regs[reg] = pbCmd[2];
            // The update works on the configuration latched at its start.
            if (ic.stage == Stage::Started || ic.stage == Stage::Staged) ic.stage = Stage::Spoiled;
        }
        pbResp[0] = kResponseByte0;
        pbResp[1] = pbCmd[2];
        return true;
    }
    if (pbCmd[0] == kCmdQuery) {
        pbResp[0] = kResponseByte0;
        pbResp[1] = ReadRegister(ic, reg);
        return true;
    }
    return false;
}

NvAPI_Status I2CTransaction(Event& e, NV_I2C_INFO_V3* pInfo) {
    Simulator& sim = Sim();
    NvAPI_Status status = 0;
    uint32_t nCall = sim.nCalls[static_cast<int>(CallKind::I2C)] + 1;
    if (TakeCall(CallKind::I2C, &status)) return status;
    if (!sim.bInitialized) return kStatusNotInitialized;
    if (e.gpu < 0) return kStatusInvalidHandle;
    if (!pInfo) return kStatusInvalidArgument;
    if (pInfo->version != NV_I2C_INFO_VER3) return kStatusIncompatibleVersion;
    if (pInfo->bIsDDCPort != 0 || pInfo->bIsPortIdSet == 0 || pInfo->portId != kPowerIcPort ||
        pInfo->i2cDevAddress != kPowerIcAddress)
        return kStatusNoAck;
    if (!pInfo->pbI2cRegAddress || !pInfo->pbData) return kStatusInvalidArgument;
    if (pInfo->regAddrSize != 3 || pInfo->cbSize != 2) return kStatusNoAck;
    if (Listed(sim.scenario.untouchedI2c, nCall)) return 0;

    PowerIc& ic = sim.ics[e.gpu];
    if (e.usec + sim.scenario.nSlackUs < ic.busyUntilUs) {
        ic.stage = Stage::Spoiled;
        return kStatusBusy;
    }
    uint8_t abResp[2];
    if (!RunCommand(ic, pInfo->pbI2cRegAddress, abResp, e.usec)) return kStatusNoAck;
    pInfo->pbData[0] = abResp[0];
    pInfo->pbData[1] = abResp[1];
    e.resp.assign(abResp, abResp + 2);
    return 0;
}

// --- Entry points handed out by the resolver -------------------------------------------

NvAPI_Status __cdecl SimInitialize() {
    Simulator& sim = Sim();
    Event e = NewEvent(EventKind::Init);
    NvAPI_Status status = sim.scenario.nInitStatus;
    TakeCall(CallKind::Init, &status);
    if (status >= 0) sim.bInitialized = true;
    e.status = status;
    Emit(e);
    return status;
}

void __cdecl SimPreCallHook(uint32_t id, uint32_t* pWords) {
    Event e = NewEvent(EventKind::PreHook);
    e.id = id;
    ++Sim().nHookCounter;
    if (pWords) {
        e.wordsIn[0] = pWords[0];
        e.wordsIn[1] = pWords[1];
        pWords[0] = id;
        pWords[1] = Sim().nHookCounter;
        e.words[0] = pWords[0];
        e.words[1] = pWords[1];
    }
    Emit(e);
}

void __cdecl SimPostCallHook(uint32_t id, uint32_t word0, uint32_t word1, NvAPI_Status status) {
    Event e = NewEvent(EventKind::PostHook);
    e.id = id;
    e.words[0] = word0;
    e.words[1] = word1;
    e.status = status;
    Emit(e);
}

NvAPI_Status __cdecl SimEnumPhysicalGPUs(NvPhysicalGpuHandle* pHandles, uint32_t* pCount) {
    Simulator& sim = Sim();
    Event e = NewEvent(EventKind::Enum);
    NvAPI_Status status = 0;
    if (!TakeCall(CallKind::Enum, &status)) {
        if (!sim.bInitialized) {
            status = kStatusNotInitialized;
        } else if (!pHandles || !pCount) {
            status = kStatusInvalidArgument;
        } else {
            int64_t nReported = sim.scenario.nCount < 0 ? sim.ics.size() : sim.scenario.nCount;
            int64_t nWritten = std::min<int64_t>(nReported, kMaxGpus);
            for (int64_t i = 0; i < nWritten; ++i) pHandles[i] = HandleOf(static_cast<unsigned>(i));
            *pCount = static_cast<uint32_t>(nReported);
            e.count = *pCount;
        }
    }
    e.status = status;
    Emit(e);
    return status;
}

NvAPI_Status __cdecl SimGpuGetBusId(NvPhysicalGpuHandle hGpu, uint32_t* pBus) {
    Simulator& sim = Sim();
    Event e = NewEvent(EventKind::BusId);
    e.handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hGpu));
    e.gpu = GpuOf(hGpu);
    NvAPI_Status status = 0;
    if (!TakeCall(CallKind::BusId, &status)) {
        if (!sim.bInitialized) {
            status = kStatusNotInitialized;
        } else if (e.gpu < 0) {
            status = kStatusInvalidHandle;
        } else if (!pBus) {
            status = kStatusInvalidArgument;
        } else {
            const std::vector<uint32_t>& buses = sim.scenario.busNumbers;
            *pBus = static_cast<size_t>(e.gpu) < buses.size() ? buses[e.gpu] : e.gpu + 1;
            e.bus = *pBus;
        }
    }
    e.status = status;
    Emit(e);
    return status;
}

NvAPI_Status __cdecl SimI2CReadEx(NvPhysicalGpuHandle hGpu, NV_I2C_INFO_V3* pInfo,
                                  uint32_t* pArg3) {
    Simulator& sim = Sim();
    Event e = NewEvent(EventKind::I2C);
    e.handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hGpu));
    e.gpu = GpuOf(hGpu);
    if (pInfo) {
        e.hasInfo = true;
        e.info = *pInfo;
        if (pInfo->pbI2cRegAddress) {
            size_t n = std::min<size_t>(pInfo->regAddrSize, kMaxLoggedCmd);
            e.cmd.assign(pInfo->pbI2cRegAddress, pInfo->pbI2cRegAddress + n);
        }
    }
    if (pArg3) {
        e.hasArg3 = true;
        e.arg3[0] = pArg3[0];
        e.arg3[1] = pArg3[1];
    }
    uint32_t nCall = sim.nCalls[static_cast<int>(CallKind::I2C)] + 1;
    e.status = I2CTransaction(e, pInfo);
    if (pInfo && Listed(sim.scenario.scribbleI2c, nCall)) {
        pInfo->displayMask = kScribble;
        pInfo->i2cSpeed = kScribble;
        pInfo->i2cSpeedKhz = kScribble;
        pInfo->pbI2cRegAddress = nullptr;
        pInfo->regAddrSize = 0;
    }
    Emit(e);
    return e.status;
}

bool Offered(uint32_t id) {
    const Scenario& s = Sim().scenario;
    if (std::find(s.missingIds.begin(), s.missingIds.end(), id) != s.missingIds.end())
        return false;
    if (id == kIdPreCallHook) return s.hooks == Hooks::Both || s.hooks == Hooks::Pre;
    if (id == kIdPostCallHook) return s.hooks == Hooks::Both || s.hooks == Hooks::Post;
    return true;
}

void* Entry(uint32_t id) {
    switch (id) {
    case kIdInitialize: return reinterpret_cast<void*>(&SimInitialize);
    case kIdPreCallHook: return reinterpret_cast<void*>(&SimPreCallHook);
    case kIdPostCallHook: return reinterpret_cast<void*>(&SimPostCallHook);
    case kIdEnumPhysicalGPUs: return reinterpret_cast<void*>(&SimEnumPhysicalGPUs);
    case kIdI2CReadEx: return reinterpret_cast<void*>(&SimI2CReadEx);
    case kIdGpuGetBusId: return reinterpret_cast<void*>(&SimGpuGetBusId);
    }
    return nullptr;
}

void AppendBytes(std::string& out, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) {
        out += '-';
        return;
    }
    char sz[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(sz, sizeof sz, i ? ",%02X" : "%02X", bytes[i]);
        out += sz;
    }
}

}  // namespace

void* __cdecl QueryInterface(uint32_t id) {
    Event e = NewEvent(EventKind::Query);
    e.id = id;
    void* pEntry = Offered(id) ? Entry(id) : nullptr;
    e.answered = pEntry != nullptr;
    Emit(e);
    return pEntry;
}

void Start(const Scenario& scenario) {
    Simulator& sim = Sim();
    sim.scenario = scenario;
    sim.ics.assign(std::min<uint32_t>(scenario.nGpus, kMaxGpus), PowerIc{});
    for (PowerIc& ic : sim.ics) {
        ic.regs[kRegControl] = 0x01;
        ic.stage = Stage::Idle;
        ic.busyUntilUs = 0;
    }
    for (const RegisterInit& r : scenario.registers) {
        for (size_t i = 0; i < sim.ics.size(); ++i)
            if (r.gpu < 0 || static_cast<size_t>(r.gpu) == i) sim.ics[i].regs[r.reg] = r.value;
    }
    sim.log.clear();
    sim.bInitialized = false;
    sim.nHookCounter = 0;
    std::fill(std::begin(sim.nCalls), std::end(sim.nCalls), 0);
}

const std::vector<Event>& Log() { return Sim().log; }

void SetLogSink(void (*pfnSink)(const Event&)) { Sim().pfnSink = pfnSink; }

uint8_t PeekRegister(unsigned gpu, uint8_t reg) {
    const std::vector<PowerIc>& ics = Sim().ics;
    return gpu < ics.size() ? ReadRegister(ics[gpu], reg) : 0;
}

NvPhysicalGpuHandle HandleOf(unsigned gpu) {
    return reinterpret_cast<NvPhysicalGpuHandle>(
        static_cast<uintptr_t>(kHandleBase + gpu * kHandleStride));
}

int64_t NowUsec() {
    LARGE_INTEGER counter, frequency;
    if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart <= 0)
        return 0;
    int64_t c = counter.QuadPart, f = frequency.QuadPart;
    // Split so that the product cannot overflow for any uptime.
    return c / f * 1000000 + c % f * 1000000 / f;
}

std::string FormatEvent(const Event& e) {
    char sz[160];
    snprintf(sz, sizeof sz, "%lld.%03lld ", static_cast<long long>(e.usec / 1000),
             static_cast<long long>(e.usec % 1000));
    std::string out = sz;
    switch (e.kind) {
    case EventKind::Query:
        snprintf(sz, sizeof sz, "query id=0x%08X answered=%d", e.id, e.answered ? 1 : 0);
        return out + sz;
    case EventKind::Init:
        snprintf(sz, sizeof sz, "init status=%d", e.status);
        return out + sz;
    case EventKind::PreHook:
        snprintf(sz, sizeof sz, "pre id=0x%08X in=0x%08X,0x%08X out=0x%08X,0x%08X", e.id,
                 e.wordsIn[0], e.wordsIn[1], e.words[0], e.words[1]);
        return out + sz;
    case EventKind::PostHook:
        snprintf(sz, sizeof sz, "post id=0x%08X words=0x%08X,0x%08X status=%d", e.id, e.words[0],
                 e.words[1], e.status);
        return out + sz;
    case EventKind::Enum:
        snprintf(sz, sizeof sz, "enum status=%d count=%u", e.status, e.count);
        return out + sz;
    case EventKind::BusId:
        snprintf(sz, sizeof sz, "busid gpu=%d handle=0x%08X status=%d bus=%u", e.gpu, e.handle,
                 e.status, e.bus);
        return out + sz;
    case EventKind::I2C:
        break;
    }
    snprintf(sz, sizeof sz, "i2c gpu=%d handle=0x%08X ", e.gpu, e.handle);
    out += sz;
    const NV_I2C_INFO_V3& r = e.info;
    if (e.hasInfo) {
        snprintf(sz, sizeof sz, "ver=0x%08X mask=%u ddc=%u addr=0x%02X cmd=", r.version,
                 r.displayMask, r.bIsDDCPort, r.i2cDevAddress);
        out += sz;
        AppendBytes(out, e.cmd);
        snprintf(sz, sizeof sz, " regsize=%u cb=%u speed=%u khz=%u port=%u portset=%u ",
                 r.regAddrSize, r.cbSize, r.i2cSpeed, r.i2cSpeedKhz, r.portId, r.bIsPortIdSet);
        out += sz;
    } else {
        out += "ver=- ";
    }
    if (e.hasArg3) {
        snprintf(sz, sizeof sz, "arg3=%u,%u", e.arg3[0], e.arg3[1]);
        out += sz;
    } else {
        out += "arg3=-";
    }
    snprintf(sz, sizeof sz, " status=%d resp=", e.status);
    out += sz;
    AppendBytes(out, e.resp);
    if (e.hasInfo) {
        snprintf(sz, sizeof sz, " regptr=0x%08X dataptr=0x%08X",
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(r.pbI2cRegAddress)),
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(r.pbData)));
        out += sz;
    }
    return out;
}

}  // namespace nvsim
