#include "harness.h"

#include <cstdio>
#include <ostream>

#include "nvloader.h"
#include "nvwrappers.h"
#include "vrmset.h"

const Box kBoxNoUpdateLoadFailed{
    "The firmware version is correct on your graphic card, do not need to be updated.",
    "LoadLibrary is failed!"};
const Box kBoxNoUpdate{
    "The firmware version is correct on your graphic card, do not need to be updated.", "OK"};
const Box kBoxLatestLoadFail{
    "The firmware version is the latest on your graphic, do not need to be updated.",
    "Load Library fail!"};
const Box kBoxLatest{
    "The firmware version is the latest on your graphic, do not need to be updated.", "OK"};
const Box kBoxWarning{"Do not turn off or restart your computer during firmware update.", "OK"};
const Box kBoxFailed{"Firmware update failed, please try aging later.", "OK"};
const Box kBoxCompleted{"Firmware update completed, we will now restart your system.", "OK"};

const char kEligiblePPID[] = "CN0X1402221898ABC";

void PrintTo(const Box& box, std::ostream* os) { *os << "{\"" << box.text << "\", \"" << box.caption << "\"}"; }

namespace {

const char* g_szPPID = kEligiblePPID;

const char* __cdecl TestGetVGAPPID_Num() { return g_szPPID; }

std::string Render(const nvsim::Event& e) {
    std::string out = std::to_string(e.gpu) + ":";
    for (size_t i = 0; i < e.cmd.size(); ++i) {
        char sz[4];
        snprintf(sz, sizeof sz, i ? " %02X" : "%02X", e.cmd[i]);
        out += sz;
    }
    return out;
}

// The wait that must follow a command: the IC is busy after each control step.
uint32_t WaitAfter(const std::vector<uint8_t>& cmd) {
    if (cmd.size() == 3 && cmd[0] == 0xD0 && cmd[1] == 0x80) {
        if (cmd[2] == 0x04) return 150;
        if (cmd[2] == 0x80) return 550;
        if (cmd[2] == 0x40) return 1500;
    }
    return 0;
}

bool IsWrite(const nvsim::Event& e) { return !e.cmd.empty() && e.cmd[0] == 0xD0; }

}  // namespace

Commands StateQueries(int nQueries) {
    const Commands all = {"0:D1 1A 97", "0:D1 23 78", "0:D1 1D 50"};
    return Commands(all.begin(), all.begin() + nQueries);
}

Commands ProgramGroup(int gpu) {
    Commands out;
    for (const char* cmd : {"D0 1A 97", "D0 23 78", "D0 1D 50", "D0 80 04", "D0 80 80", "D0 80 40"})
        out.push_back(std::to_string(gpu) + ":" + cmd);
    return out;
}

Commands CompletionQuery() { return {"0:D1 80 00"}; }

Commands operator+(Commands a, const Commands& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void UpdaterTest::SetUp() {
    winstub::Reset();
    // A fresh process: the client's and the program's process-wide state back to zero.
    g_nvLoader = NvLoaderState{};
    g_slotEnumPhysicalGPUs = FunctionSlot{};
    g_slotI2CReadEx = FunctionSlot{};
    g_nvStatus = NVAPI_OK;
    for (NvPhysicalGpuHandle& h : g_hPhysicalGpu) h = nullptr;
    g_physicalGpuCount = 0;
    g_strPPID.Empty();
    scenario_ = nvsim::Scenario{};
    g_szPPID = kEligiblePPID;
    cardTag_ = CardTag::Present;
    nvsim::InstallInSystemDir();
}

void UpdaterTest::TearDown() { winstub::SetBoxHook(nullptr); }

void UpdaterTest::UseScenario(const std::string& text) {
    int nLine = 0;
    std::string error;
    ASSERT_TRUE(nvsim::ParseScenario(text, scenario_, &nLine, &error))
        << "scenario line " << nLine << ": " << error;
}

void UpdaterTest::UsePPID(const char* szPPID) { g_szPPID = szPPID; }

void UpdaterTest::UseCardTag(CardTag cardTag) { cardTag_ = cardTag; }

void UpdaterTest::AddCardTag(const std::string& path, CardTag cardTag) {
    winstub::ModuleFile file;
    file.path = path;
    // Without the export the library still has another one of its family.
    file.exports = {{cardTag == CardTag::NoExport ? "GetVGAModleName" : "GetVGAPPID_Num",
                     reinterpret_cast<void*>(&TestGetVGAPPID_Num)}};
    winstub::AddFile(file);
}

Outcome UpdaterTest::Run(int (*entry)(int, char**, char**)) {
    if (cardTag_ != CardTag::Missing) AddCardTag("C:\\Program Files\\vrmset\\cardtag.dll", cardTag_);
    nvsim::Start(scenario_);

    bool bWarned = false;
    winstub::SetBoxHook([&bWarned](const winstub::Event& box) {
        if (box.text == kBoxWarning.text) {
            for (const nvsim::Event& e : nvsim::Log())
                EXPECT_FALSE(e.kind == nvsim::EventKind::I2C && IsWrite(e))
                    << "written to the IC before the warning box";
            bWarned = true;
        }
    });

    Outcome out;
    out.nExit = winstub::RunEntry(entry ? entry : &VrmsetMain);
    EXPECT_EQ(out.nExit, 0);

    for (const winstub::Event& e : winstub::Trace()) {
        switch (e.kind) {
        case winstub::EventKind::MessageBox:
            out.boxes.push_back({e.text, e.caption});
            EXPECT_EQ(e.a, static_cast<uint32_t>(MB_OK)) << "box style";
            EXPECT_EQ(e.b, 0u) << "box owner";
            break;
        case winstub::EventKind::Sleep: out.sleeps.push_back(e.a); break;
        case winstub::EventKind::ExitWindows: ++out.nReboots; break;
        default: break;
        }
    }

    const nvsim::Event* pPrevious = nullptr;
    bool bWrote = false;
    for (const nvsim::Event& e : nvsim::Log()) {
        if (e.kind != nvsim::EventKind::I2C) continue;
        out.commands.push_back(Render(e));
        bWrote |= IsWrite(e);
        if (pPrevious) {
            // The stand-in's clock moves only by Sleep and by a microsecond per clock reading.
            int64_t nGapMs = (e.usec - pPrevious->usec) / 1000;
            EXPECT_EQ(nGapMs, WaitAfter(pPrevious->cmd))
                << "time between " << Render(*pPrevious) << " and " << Render(e);
        }
        pPrevious = &e;
    }
    if (bWrote) {
        EXPECT_TRUE(bWarned) << "written to the IC without the warning box";
    }
    return out;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

void ExpectOutcome(const Case& c, const Outcome& out) {
    EXPECT_EQ(out.boxes, c.boxes);
    EXPECT_EQ(out.commands, c.commands);
    std::vector<uint32_t> sleeps;
    for (int i = 0; i < c.nGroups; ++i) sleeps.insert(sleeps.end(), {150, 550, 1500});
    EXPECT_EQ(out.sleeps, sleeps);
    EXPECT_EQ(out.nReboots, c.bReboot ? 1 : 0);
}
