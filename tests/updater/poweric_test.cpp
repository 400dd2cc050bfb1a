// The update program from the driver's side: initialisation failures, every branch of the
// state check, programming, the completion check, several GPUs, the record sent with each
// command, and the restart request. Registers default to 0 in the simulator, so without
// `regs` the state check finds register 0x1A different and programming follows.
#include "harness.h"

namespace {

const Commands kNone;
const Commands kFullOneGpu = StateQueries(1) + ProgramGroup(0) + CompletionQuery();

Commands UnknownGpuGroups(int n) {
    Commands out;
    for (int i = 0; i < n; ++i) out = out + ProgramGroup(-1);
    return out;
}

const Case kCases[] = {
    // Driver API initialisation failed: its box, then the warning, and programming finds no
    // driver either.
    {"InitNegative", "init = -1", {kBoxLatestLoadFail, kBoxWarning, kBoxFailed}, kNone, 0, false},
    {"InitPositive", "init = 5", {kBoxLatestLoadFail, kBoxWarning, kBoxFailed}, kNone, 0, false},
    {"InitEntryMissing", "missing = 0x0150E828",
     {kBoxLatestLoadFail, kBoxWarning, kBoxFailed}, kNone, 0, false},
    // The client binds again for programming; this time the driver comes up.
    {"InitFailsOnlyFirstTime", "fail = init#1:-1",
     {kBoxLatestLoadFail, kBoxWarning, kBoxCompleted}, ProgramGroup(0) + CompletionQuery(), 1,
     true},
    {"InitFailsThenNoGpu", "fail = init#1:-1\ncount = 0", {kBoxLatestLoadFail, kBoxWarning},
     kNone, 0, false},

    // State check, branch by branch.
    {"CheckEnumFails", "fail = enum#1:-1", {kBoxWarning, kBoxCompleted},
     ProgramGroup(0) + CompletionQuery(), 1, true},
    {"CheckEnumFailsPositive", "fail = enum#1:3", {kBoxWarning, kBoxCompleted},
     ProgramGroup(0) + CompletionQuery(), 1, true},
    {"FirstQueryFails", "fail = i2c#1:-5", {kBoxLatest}, StateQueries(1), 0, false},
    {"FirstQueryFailsPositive", "fail = i2c#1:7", {kBoxLatest}, StateQueries(1), 0, false},
    {"Reg1ADiffers", "", {kBoxWarning, kBoxWarning, kBoxCompleted}, kFullOneGpu, 1, true},
    {"SecondQueryFails", "regs = 1A=97\nfail = i2c#2:-5", {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(2) + ProgramGroup(0) + CompletionQuery(), 1, true},
    {"Reg23Differs", "regs = 1A=97", {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(2) + ProgramGroup(0) + CompletionQuery(), 1, true},
    {"ThirdQueryFails", "regs = 1A=97 23=78\nfail = i2c#3:-5",
     {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(3) + ProgramGroup(0) + CompletionQuery(), 1, true},
    {"Reg1DDiffers", "regs = 1A=97 23=78", {kBoxWarning, kBoxCompleted},
     StateQueries(3) + ProgramGroup(0) + CompletionQuery(), 1, true},
    {"AllHold", "regs = 1A=97 23=78 1D=50", {kBoxLatest}, StateQueries(3), 0, false},
    // Only GPU 0 is checked.
    {"AllHoldOnGpu0Only", "gpus = 2\nregs = 1A=97 23=78 1D=50\nregs.1 = 1A=00", {kBoxLatest},
     StateQueries(3), 0, false},
    // An empty table: the query goes to a handle the driver refuses, as a failed query.
    {"CheckFindsNoGpu", "count = 0", {kBoxLatest}, {"-1:D1 1A 97"}, 0, false},

    // Programming and completion check.
    {"ProgramEnumFails", "fail = enum#2:-1", {kBoxWarning, kBoxWarning, kBoxFailed},
     StateQueries(1), 0, false},
    {"ProgramFindsNoGpu", "fail = enum#1:-1\ncount = 0", {kBoxWarning}, kNone, 0, false},
    {"CompletionReportsError", "completion = 02", {kBoxWarning, kBoxWarning, kBoxFailed},
     kFullOneGpu, 1, false},
    {"CompletionQueryFails", "fail = i2c#8:-5", {kBoxWarning, kBoxWarning, kBoxFailed},
     kFullOneGpu, 1, false},
    // Byte 1 of the preset response is the success value.
    {"CompletionUntouchedPasses", "completion = 02\nuntouched = i2c#8",
     {kBoxWarning, kBoxWarning, kBoxCompleted}, kFullOneGpu, 1, true},

    // Several GPUs: every group first, then one check on GPU 0, then the restart.
    {"TwoGpus", "gpus = 2", {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(1) + ProgramGroup(0) + ProgramGroup(1) + CompletionQuery(), 2, true},
    {"ThreeGpus", "gpus = 3", {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(1) + ProgramGroup(0) + ProgramGroup(1) + ProgramGroup(2) + CompletionQuery(),
     3, true},
    {"TwoGpusCheckFails", "gpus = 2\ncompletion = 02", {kBoxWarning, kBoxWarning, kBoxFailed},
     StateQueries(1) + ProgramGroup(0) + ProgramGroup(1) + CompletionQuery(), 2, false},
    // A driver that reports more GPUs than the table holds: the table's 64 entries only.
    {"CountBeyondTable", "gpus = 2\ncount = 65", {kBoxWarning, kBoxWarning, kBoxCompleted},
     StateQueries(1) + ProgramGroup(0) + ProgramGroup(1) + UnknownGpuGroups(62) +
         CompletionQuery(),
     64, true},
};

class UpdateFlow : public UpdaterTest, public ::testing::WithParamInterface<Case> {};

TEST_P(UpdateFlow, BoxesCommandsWaitsAndRestart) {
    UseScenario(GetParam().scenario);
    ExpectOutcome(GetParam(), Run());
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFlow, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

using UpdaterPowerIc = UpdaterTest;

TEST_F(UpdaterPowerIc, DriverLibraryMissing) {
    winstub::RemoveFile(std::string(winstub::kSystemDir) + "\\nvapi.dll");
    ExpectOutcome({"", "", {kBoxLatestLoadFail, kBoxWarning, kBoxFailed}, kNone, 0, false}, Run());
}

// A failing programming command does not stop the group; the IC's update then fails and the
// completion check reports it.
TEST_F(UpdaterPowerIc, EachProgrammingCommandFailingInTurn) {
    for (int nCall = 2; nCall <= 7; ++nCall) {
        SCOPED_TRACE("failing I2C call " + std::to_string(nCall));
        SetUp();
        UseScenario("fail = i2c#" + std::to_string(nCall) + ":-5");
        ExpectOutcome({"", "", {kBoxWarning, kBoxWarning, kBoxFailed}, kFullOneGpu, 1, false},
                      Run());
    }
}

TEST_F(UpdaterPowerIc, EveryGpuFinishesItsUpdateBeforeTheRestart) {
    UseScenario("gpus = 3");
    Run();
    for (unsigned gpu = 0; gpu < 3; ++gpu)
        EXPECT_EQ(nvsim::PeekRegister(gpu, 0x80), 0x00) << "GPU " << gpu;
    int64_t nLastWriteUs = 0;
    for (const nvsim::Event& e : nvsim::Log())
        if (e.kind == nvsim::EventKind::I2C && e.cmd.at(0) == 0xD0) nLastWriteUs = e.usec;
    std::vector<winstub::Event> reboots = winstub::Events(winstub::EventKind::ExitWindows);
    ASSERT_EQ(reboots.size(), 1u);
    EXPECT_GT(reboots[0].usec, nLastWriteUs + 1500 * 1000) << "after the last wait of GPU 2";
}

// The record is filled completely at the start of the state check, of each GPU's group and
// of the completion check; between the commands of a group only the command is set again,
// so what the driver left in the other fields stays.
TEST_F(UpdaterPowerIc, RecordOfEveryCommand) {
    // Calls: 1-2 state check, 3-8 GPU 0, 9-14 GPU 1, 15 completion check.
    UseScenario("gpus = 2\nregs = 1A=97\nscribble = i2c#1 i2c#4 i2c#14");
    Outcome out = Run();
    ASSERT_EQ(out.commands,
              StateQueries(2) + ProgramGroup(0) + ProgramGroup(1) + CompletionQuery());
    const std::vector<int> kScribbled = {2, 5, 6, 7, 8};
    int nCall = 0;
    for (const nvsim::Event& e : nvsim::Log()) {
        if (e.kind != nvsim::EventKind::I2C) continue;
        ++nCall;
        SCOPED_TRACE("I2C call " + std::to_string(nCall));
        bool bScribbled =
            std::find(kScribbled.begin(), kScribbled.end(), nCall) != kScribbled.end();
        uint32_t nLeft = nvsim::kScribble;
        const NV_I2C_INFO_V3& r = e.info;
        ASSERT_TRUE(e.hasInfo);
        EXPECT_EQ(r.version, 0x0003002Cu);
        EXPECT_EQ(r.displayMask, bScribbled ? nLeft : 0u);
        EXPECT_EQ(r.bIsDDCPort, 0);
        EXPECT_EQ(r.i2cDevAddress, 0x88);
        EXPECT_NE(r.pbI2cRegAddress, nullptr);
        EXPECT_EQ(r.regAddrSize, 3u);
        EXPECT_NE(r.pbData, nullptr);
        EXPECT_EQ(r.cbSize, 2u);
        EXPECT_EQ(r.i2cSpeed, bScribbled ? nLeft : nCall == 15 ? 20u : 0u);
        EXPECT_EQ(r.i2cSpeedKhz, bScribbled ? nLeft : 6u);
        EXPECT_EQ(r.portId, 1);
        EXPECT_EQ(r.bIsPortIdSet, 1u);
        ASSERT_TRUE(e.hasArg3);
        EXPECT_EQ(e.arg3[0], 1u);
        EXPECT_EQ(e.arg3[1], 0u);
        EXPECT_EQ(e.status, 0);
    }
}

struct TokenCase {
    const char* name;
    bool bOpenFails, bLookupFails, bAdjustFails;
};

// The restart is asked for after the completion box whether or not the shutdown privilege
// could be enabled.
TEST_F(UpdaterPowerIc, RestartRequestedWhateverThePrivilegeCalls) {
    const TokenCase kTokenCases[] = {
        {"all succeed", false, false, false},
        {"open fails", true, false, false},
        {"lookup fails", false, true, false},
        {"adjust fails", false, false, true},
    };
    for (const TokenCase& c : kTokenCases) {
        SCOPED_TRACE(c.name);
        SetUp();
        winstub::SetTokenFaults(c.bOpenFails, c.bLookupFails, c.bAdjustFails);
        Run();
        std::vector<winstub::EventKind> kinds;
        for (const winstub::Event& e : winstub::Trace()) {
            switch (e.kind) {
            case winstub::EventKind::MessageBox:
            case winstub::EventKind::OpenProcessToken:
            case winstub::EventKind::LookupPrivilege:
            case winstub::EventKind::AdjustPrivileges:
            case winstub::EventKind::CloseHandle:
            case winstub::EventKind::ExitWindows: kinds.push_back(e.kind); break;
            default: break;
            }
        }
        using K = winstub::EventKind;
        std::vector<K> expected = {K::MessageBox, K::MessageBox, K::MessageBox, K::OpenProcessToken};
        if (!c.bOpenFails) {
            expected.push_back(K::LookupPrivilege);
            if (!c.bLookupFails) expected.push_back(K::AdjustPrivileges);
            expected.push_back(K::CloseHandle);
        }
        expected.push_back(K::ExitWindows);
        EXPECT_EQ(kinds, expected);
        std::vector<winstub::Event> reboots = winstub::Events(K::ExitWindows);
        ASSERT_EQ(reboots.size(), 1u);
        EXPECT_EQ(reboots[0].a, 6u) << "EWX_REBOOT | EWX_FORCE";
        EXPECT_EQ(reboots[0].b, 0u) << "reason";
    }
}

TEST_F(UpdaterPowerIc, ShutdownPrivilegeCalls) {
    Run();
    std::vector<winstub::Event> open = winstub::Events(winstub::EventKind::OpenProcessToken);
    std::vector<winstub::Event> lookup = winstub::Events(winstub::EventKind::LookupPrivilege);
    std::vector<winstub::Event> adjust = winstub::Events(winstub::EventKind::AdjustPrivileges);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].a, 0x28u) << "TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY";
    EXPECT_EQ(open[0].b, 1u) << "own process";
    ASSERT_EQ(lookup.size(), 1u);
    EXPECT_EQ(lookup[0].text, "SeShutdownPrivilege");
    EXPECT_EQ(lookup[0].caption, "") << "local system";
    ASSERT_EQ(adjust.size(), 1u);
    EXPECT_EQ(adjust[0].a, 0u) << "do not disable all";
    EXPECT_EQ(adjust[0].b, 1u) << "one privilege";
    EXPECT_EQ(adjust[0].c, 2u) << "SE_PRIVILEGE_ENABLED";
    EXPECT_NE(adjust[0].d, 0u) << "the looked-up LUID";
    EXPECT_EQ(adjust[0].text, "") << "no previous state asked for";
}

}  // namespace
