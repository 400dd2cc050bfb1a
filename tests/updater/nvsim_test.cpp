// The simulated driver itself: what the update tests rely on it to catch (wrong register,
// wait, order or bus parameters), its fault injection, its scenario and log formats.
#include <gtest/gtest.h>
#include <winstub.h>

#include <functional>

#include "nvsim.h"

namespace {

class Simulator : public ::testing::Test {
protected:
    void SetUp() override { winstub::Reset(); }

    void Begin(const std::string& text, bool bInitialize = true) {
        nvsim::Scenario scenario;
        int nLine = 0;
        std::string error;
        ASSERT_TRUE(nvsim::ParseScenario(text, scenario, &nLine, &error)) << nLine << ": " << error;
        nvsim::Start(scenario);
        init_ = reinterpret_cast<NvInitializeFn>(nvsim::QueryInterface(kNvIdInitialize));
        enum_ = reinterpret_cast<NvEnumPhysicalGPUsFn>(nvsim::QueryInterface(kNvIdEnumPhysicalGPUs));
        i2c_ = reinterpret_cast<NvI2CReadExFn>(nvsim::QueryInterface(kNvIdI2CReadEx));
        bus_ = reinterpret_cast<NvGpuGetBusIdFn>(nvsim::QueryInterface(kNvIdGpuGetBusId));
        if (bInitialize) {
            ASSERT_EQ(init_(), 0);
        }
    }

    // A record as the power IC expects it.
    NV_I2C_INFO_V3 Record() {
        NV_I2C_INFO_V3 r{};
        r.version = NV_I2C_INFO_VER3;
        r.i2cDevAddress = 0x88;
        r.pbI2cRegAddress = cmd_;
        r.regAddrSize = 3;
        r.pbData = resp_;
        r.cbSize = 2;
        r.i2cSpeedKhz = 6;
        r.portId = 1;
        r.bIsPortIdSet = 1;
        return r;
    }

    NvAPI_Status Send(uint8_t b0, uint8_t b1, uint8_t b2, unsigned gpu = 0) {
        cmd_[0] = b0, cmd_[1] = b1, cmd_[2] = b2;
        resp_[0] = 0xAA, resp_[1] = 0xBB;
        NV_I2C_INFO_V3 r = Record();
        uint32_t arg3[2] = {1, 0};
        return i2c_(nvsim::HandleOf(gpu), &r, arg3);
    }

    NvInitializeFn init_ = nullptr;
    NvEnumPhysicalGPUsFn enum_ = nullptr;
    NvI2CReadExFn i2c_ = nullptr;
    NvGpuGetBusIdFn bus_ = nullptr;
    uint8_t cmd_[3] = {};
    uint8_t resp_[2] = {};
};

TEST_F(Simulator, RegistersAnswerQueriesAndTakeWrites) {
    Begin("gpus = 2\nregs = 1A=12 80=07\nregs.1 = 1A=34");
    EXPECT_EQ(Send(0xD1, 0x1A, 0x00), 0);
    EXPECT_EQ(resp_[0], nvsim::kResponseByte0);
    EXPECT_EQ(resp_[1], 0x12);
    EXPECT_EQ(Send(0xD1, 0x80, 0x00), 0);
    EXPECT_EQ(resp_[1], 0x07) << "control register before any sequence";
    EXPECT_EQ(Send(0xD0, 0x23, 0x78), 0);
    EXPECT_EQ(nvsim::PeekRegister(0, 0x23), 0x78);
    EXPECT_EQ(nvsim::PeekRegister(1, 0x1A), 0x34);
    EXPECT_EQ(nvsim::PeekRegister(1, 0x23), 0x00);
}

// The update sequence: the control steps with their busy times, on the stand-in's clock.
TEST_F(Simulator, UpdateSequenceTimingAndOrder) {
    struct Step {
        uint8_t reg, value;
        uint32_t nWaitMs;
        NvAPI_Status status;
    };
    struct SequenceCase {
        const char* name;
        const char* scenario;
        std::vector<Step> steps;
        uint8_t control;  // register 0x80 afterwards, read after a long wait
    };
    const char* kReady = "regs = 1A=97 23=78 1D=50";
    const int kBusy = nvsim::kStatusBusy;
    const SequenceCase kCases[] = {
        {"correct", kReady, {{0x80, 0x04, 150, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1500, 0}}, 0x00},
        {"completion value", "regs = 1A=97 23=78 1D=50\ncompletion = 02",
         {{0x80, 0x04, 150, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1500, 0}}, 0x02},
        {"first wait short", kReady, {{0x80, 0x04, 149, 0}, {0x80, 0x80, 550, kBusy}}, 0xEE},
        {"second wait short", kReady,
         {{0x80, 0x04, 150, 0}, {0x80, 0x80, 549, 0}, {0x80, 0x40, 1500, kBusy}}, 0xEE},
        {"last wait short", kReady,
         {{0x80, 0x04, 150, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1499, 0}, {0x1A, 0x97, 0, kBusy}},
         0xEE},
        {"out of order", kReady, {{0x80, 0x04, 150, 0}, {0x80, 0x40, 1500, 0}}, 0xEE},
        {"unknown control value", kReady, {{0x80, 0x04, 150, 0}, {0x80, 0x20, 0, 0}}, 0xEE},
        {"configuration incomplete", "regs = 1A=97 23=78",
         {{0x80, 0x04, 150, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1500, 0}}, 0xEE},
        {"configuration changed during the update", kReady,
         {{0x80, 0x04, 150, 0}, {0x1D, 0x51, 0, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1500, 0}},
         0xEE},
        {"started only", kReady, {{0x80, 0x04, 150, 0}}, 0x04},
        {"restarted after a spoiled one", kReady,
         {{0x80, 0x80, 0, 0}, {0x80, 0x04, 150, 0}, {0x80, 0x80, 550, 0}, {0x80, 0x40, 1500, 0}},
         0x00},
    };
    for (const SequenceCase& c : kCases) {
        SCOPED_TRACE(c.name);
        Begin(c.scenario);
        for (const Step& step : c.steps) {
            EXPECT_EQ(Send(0xD0, step.reg, step.value), step.status)
                << "D0 " << std::hex << int(step.reg) << " " << int(step.value);
            Sleep(step.nWaitMs);
        }
        Sleep(5000);
        EXPECT_EQ(Send(0xD1, 0x80, 0x00), 0);
        EXPECT_EQ(resp_[1], c.control);
    }
}

// A transaction the power IC does not take: an error status, nothing written back, and the
// IC unchanged.
TEST_F(Simulator, TransactionsThatReachNoPowerIc) {
    struct BusCase {
        const char* name;
        std::function<void(NV_I2C_INFO_V3&)> change;
        NvAPI_Status status;
    };
    const BusCase kCases[] = {
        {"other address", [](NV_I2C_INFO_V3& r) { r.i2cDevAddress = 0x44; }, nvsim::kStatusNoAck},
        {"other port", [](NV_I2C_INFO_V3& r) { r.portId = 2; }, nvsim::kStatusNoAck},
        {"port not set", [](NV_I2C_INFO_V3& r) { r.bIsPortIdSet = 0; }, nvsim::kStatusNoAck},
        {"display port", [](NV_I2C_INFO_V3& r) { r.bIsDDCPort = 1; }, nvsim::kStatusNoAck},
        {"command of 2 bytes", [](NV_I2C_INFO_V3& r) { r.regAddrSize = 2; }, nvsim::kStatusNoAck},
        {"read of 1 byte", [](NV_I2C_INFO_V3& r) { r.cbSize = 1; }, nvsim::kStatusNoAck},
        {"other version", [](NV_I2C_INFO_V3& r) { r.version = 0x0002002C; },
         nvsim::kStatusIncompatibleVersion},
        {"no command buffer", [](NV_I2C_INFO_V3& r) { r.pbI2cRegAddress = nullptr; },
         nvsim::kStatusInvalidArgument},
        {"no response buffer", [](NV_I2C_INFO_V3& r) { r.pbData = nullptr; },
         nvsim::kStatusInvalidArgument},
        {"unknown command", [](NV_I2C_INFO_V3&) {}, nvsim::kStatusNoAck},
    };
    for (const BusCase& c : kCases) {
        SCOPED_TRACE(c.name);
        Begin("");
        cmd_[0] = std::string(c.name) == "unknown command" ? 0xD2 : 0xD0;
        cmd_[1] = 0x1A, cmd_[2] = 0x97;
        resp_[0] = 0xAA, resp_[1] = 0xBB;
        NV_I2C_INFO_V3 r = Record();
        c.change(r);
        uint32_t arg3[2] = {1, 0};
        EXPECT_EQ(i2c_(nvsim::HandleOf(0), &r, arg3), c.status);
        EXPECT_EQ(resp_[0], 0xAA);
        EXPECT_EQ(resp_[1], 0xBB);
        EXPECT_EQ(nvsim::PeekRegister(0, 0x1A), 0x00);
    }
    EXPECT_EQ(i2c_(nvsim::HandleOf(0), nullptr, nullptr), nvsim::kStatusInvalidArgument);
}

TEST_F(Simulator, EnumerationHandlesAndBusNumbers) {
    Begin("gpus = 2\ncount = 4\nbus = 7 9");
    NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS] = {};
    uint32_t count = 0;
    ASSERT_EQ(enum_(handles, &count), 0);
    ASSERT_EQ(count, 4u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_NE(handles[i], nullptr);
        for (unsigned j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);
    }
    EXPECT_EQ(handles[4], nullptr);
    uint32_t bus = 0;
    EXPECT_EQ(bus_(handles[0], &bus), 0);
    EXPECT_EQ(bus, 7u);
    EXPECT_EQ(bus_(handles[1], &bus), 0);
    EXPECT_EQ(bus, 9u);
    EXPECT_EQ(bus_(handles[2], &bus), nvsim::kStatusInvalidHandle) << "not a modelled GPU";
    EXPECT_EQ(bus_(nullptr, &bus), nvsim::kStatusInvalidHandle);
    EXPECT_EQ(Send(0xD1, 0x1A, 0x00, 3), nvsim::kStatusInvalidHandle);

    Begin("gpus = 1\ncount = 70");
    NvPhysicalGpuHandle many[NVAPI_MAX_PHYSICAL_GPUS + 1] = {};
    ASSERT_EQ(enum_(many, &count), 0);
    EXPECT_EQ(count, 70u) << "a driver that reports more than the table holds";
    EXPECT_NE(many[63], nullptr);
    EXPECT_EQ(many[64], nullptr) << "but never writes past 64 handles";
}

TEST_F(Simulator, InitializationGatesEveryCall) {
    struct InitCase {
        const char* scenario;
        NvAPI_Status first, second;
        bool bReadyAfterSecond;
    };
    const InitCase kCases[] = {
        {"init = -7", -7, -7, false},
        {"init = 3", 3, 3, true},  // a positive status is success with a warning
        {"fail = init#1:-1", -1, 0, true},
    };
    for (const InitCase& c : kCases) {
        SCOPED_TRACE(c.scenario);
        Begin(c.scenario, false);
        uint32_t count = 0;
        NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS] = {};
        EXPECT_EQ(enum_(handles, &count), nvsim::kStatusNotInitialized);
        EXPECT_EQ(init_(), c.first);
        EXPECT_EQ(init_(), c.second);
        EXPECT_EQ(enum_(handles, &count), c.bReadyAfterSecond ? 0 : nvsim::kStatusNotInitialized);
    }
}

TEST_F(Simulator, InjectedFailuresAndUntouchedResponses) {
    Begin("fail = enum#2:-1 i2c#2:9 bus#1:-6\nuntouched = i2c#3\nregs = 1A=97");
    NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS] = {};
    uint32_t count = 0, bus = 0;
    EXPECT_EQ(enum_(handles, &count), 0);
    count = 99;
    EXPECT_EQ(enum_(handles, &count), -1);
    EXPECT_EQ(count, 99u) << "a failed enumeration writes nothing";
    EXPECT_EQ(enum_(handles, &count), 0);
    EXPECT_EQ(bus_(handles[0], &bus), -6);
    EXPECT_EQ(Send(0xD1, 0x1A, 0x00), 0);
    EXPECT_EQ(Send(0xD0, 0x23, 0x78), 9);
    EXPECT_EQ(nvsim::PeekRegister(0, 0x23), 0x00) << "a failed call does not reach the IC";
    EXPECT_EQ(Send(0xD0, 0x23, 0x78), 0);
    EXPECT_EQ(resp_[0], 0xAA);
    EXPECT_EQ(resp_[1], 0xBB) << "untouched response";
    EXPECT_EQ(nvsim::PeekRegister(0, 0x23), 0x00) << "an untouched call does not reach the IC";
    EXPECT_EQ(Send(0xD0, 0x23, 0x78), 0);
    EXPECT_EQ(nvsim::PeekRegister(0, 0x23), 0x78);
}

TEST_F(Simulator, OfferedEntryPoints) {
    struct OfferCase {
        const char* scenario;
        bool bPre, bPost, bEnum;
    };
    const OfferCase kCases[] = {
        {"", true, true, true},
        {"hooks = pre", true, false, true},
        {"hooks = post", false, true, true},
        {"hooks = none", false, false, true},
        {"missing = 0x33C7358C 0xE5AC921F", false, true, false},
    };
    for (const OfferCase& c : kCases) {
        SCOPED_TRACE(c.scenario);
        Begin(c.scenario);
        EXPECT_EQ(nvsim::QueryInterface(kNvIdPreCallHook) != nullptr, c.bPre);
        EXPECT_EQ(nvsim::QueryInterface(kNvIdPostCallHook) != nullptr, c.bPost);
        EXPECT_EQ(nvsim::QueryInterface(kNvIdEnumPhysicalGPUs) != nullptr, c.bEnum);
        EXPECT_EQ(nvsim::QueryInterface(0x12345678), nullptr);
    }
}

TEST_F(Simulator, HooksMarkTheirWords) {
    Begin("");
    auto pre = reinterpret_cast<NvPreCallHookFn>(nvsim::QueryInterface(kNvIdPreCallHook));
    auto post = reinterpret_cast<NvPostCallHookFn>(nvsim::QueryInterface(kNvIdPostCallHook));
    uint32_t words[2] = {0, 0};
    pre(kNvIdI2CReadEx, words);
    EXPECT_EQ(words[0], kNvIdI2CReadEx);
    EXPECT_EQ(words[1], 1u);
    pre(kNvIdI2CReadEx, words);
    EXPECT_EQ(words[1], 2u) << "a counter per call";
    post(kNvIdI2CReadEx, words[0], words[1], -5);
    const nvsim::Event& e = nvsim::Log().back();
    EXPECT_EQ(e.kind, nvsim::EventKind::PostHook);
    EXPECT_EQ(e.words[1], 2u);
    EXPECT_EQ(e.status, -5);
}

TEST(SimulatorScenario, ParsesEveryKey) {
    const char* kText =
        "# two GPUs\n"
        "gpus = 2   # trailing comment\n"
        "bus = 3 0x10\n"
        "regs = 1A=97 0x23=0x78\n"
        "regs.1 = 1A=00\n"
        "completion = 02\n"
        "init = -3\n"
        "missing = 0x1BE0B8E5\n"
        "hooks = post\n"
        "count = 0\n"
        "fail = enum#2:-1 i2c#3:5 bus#1:0x7 init#4:-2\n"
        "untouched = i2c#7 i2c#9\n"
        "scribble = i2c#1\n"
        "slack = 250\n"
        "completion = 03\n";  // the later line wins
    nvsim::Scenario s;
    int nLine = 0;
    std::string error;
    ASSERT_TRUE(nvsim::ParseScenario(kText, s, &nLine, &error)) << nLine << ": " << error;
    EXPECT_EQ(s.nGpus, 2u);
    EXPECT_EQ(s.busNumbers, (std::vector<uint32_t>{3, 16}));
    ASSERT_EQ(s.registers.size(), 3u);
    EXPECT_EQ(s.registers[1].gpu, -1);
    EXPECT_EQ(s.registers[1].reg, 0x23);
    EXPECT_EQ(s.registers[1].value, 0x78);
    EXPECT_EQ(s.registers[2].gpu, 1) << "per-GPU values come after those for all GPUs";
    EXPECT_EQ(s.nCompletion, 0x03);
    EXPECT_EQ(s.nInitStatus, -3);
    EXPECT_EQ(s.missingIds, std::vector<uint32_t>{0x1BE0B8E5});
    EXPECT_EQ(s.hooks, nvsim::Hooks::Post);
    EXPECT_EQ(s.nCount, 0);
    ASSERT_EQ(s.faults.size(), 4u);
    EXPECT_EQ(s.faults[2].kind, nvsim::CallKind::BusId);
    EXPECT_EQ(s.faults[2].nCall, 1u);
    EXPECT_EQ(s.faults[2].status, 7);
    EXPECT_EQ(s.untouchedI2c, (std::vector<uint32_t>{7, 9}));
    EXPECT_EQ(s.scribbleI2c, std::vector<uint32_t>{1});
    EXPECT_EQ(s.nSlackUs, 250u);
}

TEST(SimulatorScenario, RejectsBadLinesWithTheirNumber) {
    const char* kBadLines[] = {
        "gpus = 65",          "gpus = two",         "hooks = some",     "regs = 1A=197",
        "regs = 1A",          "regs.64 = 1A=00",    "fail = i2c#0:-1",  "fail = dma#1:-1",
        "fail = i2c#1",       "untouched = enum#1", "count = -1",       "init = 0x",
        "completion = 100",   "frobnicate = 1",     "no separator",     "bus = 1 x",
    };
    for (const char* szBad : kBadLines) {
        SCOPED_TRACE(szBad);
        nvsim::Scenario s;
        s.nGpus = 5;
        int nLine = 0;
        std::string error;
        EXPECT_FALSE(nvsim::ParseScenario(std::string("# first\ngpus = 3\n") + szBad + "\n", s,
                                          &nLine, &error));
        EXPECT_EQ(nLine, 3);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(s.nGpus, 5u) << "unchanged on error";
    }
}

TEST(SimulatorLog, LineFormat) {
    nvsim::Event i2c;
    i2c.kind = nvsim::EventKind::I2C;
    i2c.usec = 1234567;
    i2c.gpu = 0;
    i2c.handle = 0x4E560000;
    i2c.hasInfo = true;
    i2c.info.version = 0x0003002C;
    i2c.info.i2cDevAddress = 0x88;
    i2c.info.pbI2cRegAddress = reinterpret_cast<uint8_t*>(0x0019FE20);
    i2c.info.regAddrSize = 3;
    i2c.info.pbData = reinterpret_cast<uint8_t*>(0x0019FE24);
    i2c.info.cbSize = 2;
    i2c.info.i2cSpeed = 20;
    i2c.info.i2cSpeedKhz = 6;
    i2c.info.portId = 1;
    i2c.info.bIsPortIdSet = 1;
    i2c.cmd = {0xD0, 0x1A, 0x97};
    i2c.hasArg3 = true;
    i2c.arg3[0] = 1;
    i2c.resp = {0x5A, 0x97};
    EXPECT_EQ(nvsim::FormatEvent(i2c),
              "1234.567 i2c gpu=0 handle=0x4E560000 ver=0x0003002C mask=0 ddc=0 addr=0x88 "
              "cmd=D0,1A,97 regsize=3 cb=2 speed=20 khz=6 port=1 portset=1 arg3=1,0 status=0 "
              "resp=5A,97 regptr=0x0019FE20 dataptr=0x0019FE24");

    nvsim::Event refused;
    refused.kind = nvsim::EventKind::I2C;
    refused.usec = 5;
    refused.handle = 0x00000000;
    refused.status = nvsim::kStatusInvalidHandle;
    EXPECT_EQ(nvsim::FormatEvent(refused),
              "0.005 i2c gpu=-1 handle=0x00000000 ver=- arg3=- status=-8 resp=-");

    nvsim::Event query;
    query.kind = nvsim::EventKind::Query;
    query.usec = 2000;
    query.id = 0x0150E828;
    query.answered = true;
    EXPECT_EQ(nvsim::FormatEvent(query), "2.000 query id=0x0150E828 answered=1");

    nvsim::Event pre;
    pre.kind = nvsim::EventKind::PreHook;
    pre.id = 0x4D7B0709;
    pre.words[0] = 0x4D7B0709;
    pre.words[1] = 1;
    EXPECT_EQ(nvsim::FormatEvent(pre),
              "0.000 pre id=0x4D7B0709 in=0x00000000,0x00000000 out=0x4D7B0709,0x00000001");

    nvsim::Event enumeration;
    enumeration.kind = nvsim::EventKind::Enum;
    enumeration.count = 2;
    EXPECT_EQ(nvsim::FormatEvent(enumeration), "0.000 enum status=0 count=2");
}

// The log's clock is QueryPerformanceCounter, which Sleep advances.
TEST_F(Simulator, LogTimesFollowTheClock) {
    Begin("");
    Send(0xD1, 0x1A, 0x00);
    Sleep(150);
    Send(0xD1, 0x1A, 0x00);
    const std::vector<nvsim::Event>& log = nvsim::Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ((log[log.size() - 1].usec - log[log.size() - 2].usec) / 1000, 150);
}

}  // namespace
