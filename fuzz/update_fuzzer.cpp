// The whole update program, from its entry function, against a driver whose every answer the
// input scripts.
//
// The input chooses the identity library (present, missing, refusing to load, lacking its
// export), the PPID it answers (null, any bytes, a marker inserted whole or cut short), the
// driver library in the system directory (present, absent, unloadable, without resolver) and
// the simulated driver's scenario: GPUs (0 to 64), the count that enumeration reports (any,
// up to 127), the initialisation status, missing interface IDs, which hooks it offers, the
// power IC's registers and completion value, failures of any call with any status, I2C calls
// that succeed without answering and calls after which the record is scribbled on. Copies of
// cardtag.dll and nvapi.dll planted in the current directory, on PATH and (nvapi.dll) beside
// the program must never be loaded. After the run:
//   - the program ended with exit code 0, and showed only the fixed texts with their
//     captions, as plain MB_OK boxes without owner;
//   - without a loadable identity library, its export or an eligible PPID: exactly the one
//     "no update" box and no I2C transaction at all;
//   - nothing was written (D0) when the state check's first query failed or all three
//     registers already held the new values;
//   - every write came after the last warning box and after every state query, and the writes
//     are exactly one group of the six commands per GPU of the last enumeration (at most 64),
//     in table order, each control step followed by its wait and nothing else waited for;
//   - a reboot was requested only after every group, the completion query on entry 0 that
//     passed (status 0 and byte 1 zero) and the completion box; and it was requested whenever
//     that query passed. A failed completion query ends with the failure box and no reboot.
// The oracle reads only what the driver logged and the calls the stand-in recorded.
#include "fuzz_support.h"
#include "nvloader.h"
#include "nvsim.h"
#include "nvwrappers.h"
#include "vrmset.h"

#include <array>
#include <climits>
#include <optional>
#include <set>
#include <vector>

namespace {

const char kTextNoUpdate[] =
    "The firmware version is correct on your graphic card, do not need to be updated.";
const char kTextLatest[] =
    "The firmware version is the latest on your graphic, do not need to be updated.";
const char kTextWarning[] = "Do not turn off or restart your computer during firmware update.";
const char kTextFailed[] = "Firmware update failed, please try aging later.";
const char kTextCompleted[] = "Firmware update completed, we will now restart your system.";
const char* const kMarkers[3] = {"1402221898", "1402226825", "1403228981"};

struct Box {
    std::string sText;
    std::string sCaption;
    int64_t usec;
    bool operator==(const Box& o) const { return sText == o.sText && sCaption == o.sCaption; }
};

const Box kAllowedBoxes[] = {
    {kTextNoUpdate, "LoadLibrary is failed!", 0}, {kTextNoUpdate, "OK", 0},
    {kTextLatest, "Load Library fail!", 0},        {kTextLatest, "OK", 0},
    {kTextWarning, "OK", 0},                       {kTextFailed, "OK", 0},
    {kTextCompleted, "OK", 0},
};

constexpr const char* kProgramDir = "C:\\Program Files\\vrmset";
constexpr const char* kCurrentDir = "C:\\Users\\user\\Downloads";
constexpr const char* kPathDir = "C:\\Tools";

enum class CardTag { Present, Missing, NoExport, LoadFails };
enum class NvApi { Present, Absent, BadImage, NoResolver };

// What the identity library answers.
std::optional<std::string> g_ppid;
const char* __cdecl StubGetVGAPPID_Num() { return g_ppid ? g_ppid->c_str() : nullptr; }
const char* __cdecl PlantedGetVGAPPID_Num() { return kMarkers[0]; }
BOOL StubRefuseLoad(HINSTANCE, DWORD dwReason, LPVOID) { return dwReason != DLL_PROCESS_ATTACH; }

std::set<std::string> g_plantedLoaded;
BOOL PlantedMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        g_plantedLoaded.insert(winstub::PathOf(reinterpret_cast<HMODULE>(hInstance)));
    return TRUE;
}
void* __cdecl PlantedQueryInterface(uint32_t) { return nullptr; }

constexpr NvAPI_Status kStatuses[] = {-1, -3, -4, -5, -8, -10, -11, 1, 7, INT_MAX, INT_MIN};
constexpr uint32_t kIds[] = {kNvIdInitialize, kNvIdPreCallHook, kNvIdPostCallHook,
                             kNvIdEnumPhysicalGPUs, kNvIdI2CReadEx, kNvIdGpuGetBusId};
constexpr uint8_t kRegs[4] = {0x1A, 0x23, 0x1D, 0x80};
constexpr uint8_t kNewValues[4] = {0x97, 0x78, 0x50, 0x00};

std::string PPIDFrom(fuzz::Input& in, uint8_t mode) {
    std::string s = in.Bytes(in.U8() % 80);
    if ((mode & 3) >= 2) {
        std::string marker = kMarkers[(mode >> 2) % 3];
        if (mode & 0x10)
            marker.pop_back();  // a marker without its last digit
        s.insert(in.U8() % (s.size() + 1), marker);
    }
    return s;
}

nvsim::Scenario ScenarioFrom(fuzz::Input& in) {
    nvsim::Scenario s;
    s.nGpus = in.Pick(65);
    uint8_t b = in.U8();
    if (b & 0x80)
        s.nCount = b & 0x7F;
    b = in.U8();
    s.nInitStatus = (b & 3) == 3 ? kStatuses[(b >> 2) % std::size(kStatuses)] : 0;
    s.hooks = static_cast<nvsim::Hooks>(b >> 5 & 3);
    if (b & 0x80) {
        uint8_t mask = in.U8();
        for (int i = 0; i < 6; ++i)
            if (mask >> i & 1)
                s.missingIds.push_back(kIds[i]);
    }
    // Registers of every GPU and of GPU 0 alone: left, the new value, or any byte.
    for (int gpu : {-1, 0}) {
        uint8_t modes = in.U8();
        for (int r = 0; r < 4; ++r) {
            switch (modes >> (2 * r) & 3) {
            case 1: s.registers.push_back({gpu, kRegs[r], kNewValues[r]}); break;
            case 2: s.registers.push_back({gpu, kRegs[r], in.U8()}); break;
            default: break;
            }
        }
    }
    b = in.U8();
    s.nCompletion = (b & 1) ? in.U8() : 0x00;
    int nFaults = b >> 1 & 7;
    for (int i = 0; i < nFaults; ++i) {
        uint8_t f = in.U8();
        s.faults.push_back({static_cast<nvsim::CallKind>(f & 3), 1u + (f >> 2),
                            kStatuses[in.Pick(std::size(kStatuses))]});
    }
    b = in.U8();
    for (int i = 0; i < (b & 3); ++i)
        s.untouchedI2c.push_back(1u + in.Pick(32));
    for (int i = 0; i < (b >> 2 & 3); ++i)
        s.scribbleI2c.push_back(1u + in.Pick(32));
    return s;
}

// The program's own process-wide state and that of its driver client, as at process start.
void ResetProgram() {
    g_nvLoader = NvLoaderState{};
    g_slotEnumPhysicalGPUs = FunctionSlot{};
    g_slotI2CReadEx = FunctionSlot{};
    g_nvStatus = NVAPI_OK;
    for (NvPhysicalGpuHandle& h : g_hPhysicalGpu)
        h = nullptr;
    g_physicalGpuCount = 0;
    g_strPPID.Empty();
}

void AddModule(const std::string& path, const char* szExport, void* pfn,
               BOOL (*dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr) {
    winstub::ModuleFile file{path, {}};
    if (szExport)
        file.exports.push_back({szExport, pfn});
    file.dllMain = dllMain;
    winstub::AddFile(file);
}

void Plant() {
    for (const char* dir : {kCurrentDir, kPathDir}) {
        AddModule(std::string(dir) + "\\cardtag.dll", "GetVGAPPID_Num",
                  reinterpret_cast<void*>(&PlantedGetVGAPPID_Num), &PlantedMain);
        AddModule(std::string(dir) + "\\nvapi.dll", "nvapi_QueryInterface",
                  reinterpret_cast<void*>(&PlantedQueryInterface), &PlantedMain);
    }
    AddModule(std::string(kProgramDir) + "\\nvapi.dll", "nvapi_QueryInterface",
              reinterpret_cast<void*>(&PlantedQueryInterface), &PlantedMain);
    winstub::SetCurrentDir(kCurrentDir);
    winstub::SetPathDirs({kPathDir});
}

bool IsWrite(const nvsim::Event& e) { return e.cmd.size() >= 1 && e.cmd[0] == 0xD0; }
bool Is(const nvsim::Event& e, std::initializer_list<uint8_t> cmd) {
    return e.cmd == std::vector<uint8_t>(cmd);
}

std::string Describe(const nvsim::Event& e) { return nvsim::FormatEvent(e); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::Input in(pData, nSize);
    winstub::Reset();
    ResetProgram();
    g_plantedLoaded.clear();
    Plant();

    // The identity library and its answer, beside the program in its usual folder, in one
    // whose path leaves the library's name no room within MAX_PATH, or with a bare name as
    // the program's path.
    uint8_t b = in.U8();
    CardTag cardTag = (b & 7) == 0   ? CardTag::Missing
                      : (b & 7) == 1 ? CardTag::NoExport
                      : (b & 7) == 2 ? CardTag::LoadFails
                                     : CardTag::Present;
    std::string sProgramDir = kProgramDir;
    bool bFolderUsable = true;
    if ((b >> 3 & 3) == 2) {
        sProgramDir = "C:\\" + std::string(220 + in.U8() % 60, 'p');
        bFolderUsable = sProgramDir.size() + std::strlen("\\cardtag.dll") < MAX_PATH;
    }
    if ((b >> 3 & 3) == 3) {
        winstub::SetHostPath("vrmset.exe");
        bFolderUsable = false;
    } else {
        winstub::SetHostPath(sProgramDir + "\\vrmset.exe");
    }
    if (!bFolderUsable && cardTag != CardTag::Missing)
        cardTag = CardTag::LoadFails;  // the program cannot name the library: as if missing
    uint8_t nPPIDMode = in.U8();
    g_ppid.reset();
    if (nPPIDMode & 3)
        g_ppid = PPIDFrom(in, nPPIDMode);
    const std::string sCardtag = sProgramDir + "\\cardtag.dll";
    if (!bFolderUsable)
        AddModule(sCardtag, "GetVGAPPID_Num", reinterpret_cast<void*>(&StubGetVGAPPID_Num));
    else if (cardTag == CardTag::Present || cardTag == CardTag::LoadFails)
        AddModule(sCardtag, "GetVGAPPID_Num", reinterpret_cast<void*>(&StubGetVGAPPID_Num),
                  cardTag == CardTag::LoadFails ? &StubRefuseLoad : nullptr);
    else if (cardTag == CardTag::NoExport)
        AddModule(sCardtag, "GetVGAModleName", reinterpret_cast<void*>(&StubGetVGAPPID_Num));

    // The driver library in the system directory and the driver behind it.
    b = in.U8();
    NvApi nvApi = (b & 7) == 0 ? NvApi::Absent
                  : (b & 7) == 1 ? NvApi::BadImage
                  : (b & 7) == 2 ? NvApi::NoResolver
                                 : NvApi::Present;
    nvsim::Scenario scenario = ScenarioFrom(in);
    const std::string sNvApi = std::string(winstub::kSystemDir) + "\\nvapi.dll";
    if (nvApi == NvApi::Present) {
        nvsim::InstallInSystemDir();
    } else if (nvApi != NvApi::Absent) {
        winstub::ModuleFile file{sNvApi, {}};
        file.badImage = nvApi == NvApi::BadImage;
        winstub::AddFile(file);
    }
    nvsim::Start(scenario);

    const int nExit = winstub::RunEntry(&VrmsetMain);
    FUZZ_CHECK(nExit == 0, "exit code %d", nExit);
    FUZZ_CHECK(g_plantedLoaded.empty(), "a planted library was loaded: %s",
               g_plantedLoaded.begin()->c_str());

    // What the user saw, and the reboot requests.
    std::vector<Box> boxes;
    std::vector<int64_t> reboots;
    std::vector<uint32_t> sleeps;
    for (const winstub::Event& e : winstub::Trace()) {
        if (e.kind == winstub::EventKind::MessageBox) {
            Box box{e.text, e.caption, e.usec};
            FUZZ_CHECK(std::find(std::begin(kAllowedBoxes), std::end(kAllowedBoxes), box) !=
                           std::end(kAllowedBoxes),
                       "box \"%s\" / \"%s\" is none of the program's", e.text.c_str(), e.caption.c_str());
            FUZZ_CHECK(e.a == MB_OK && e.b == 0, "box \"%s\" is not a plain MB_OK box without owner",
                       e.text.c_str());
            boxes.push_back(box);
        } else if (e.kind == winstub::EventKind::ExitWindows) {
            FUZZ_CHECK(e.a == (EWX_REBOOT | EWX_FORCE) && e.b == 0, "reboot flags 0x%X reason %u",
                       e.a, e.b);
            reboots.push_back(e.usec);
        } else if (e.kind == winstub::EventKind::Sleep) {
            sleeps.push_back(e.a);
        }
    }
    // The driver's view. A driver event happened before a stand-in event exactly when its
    // time is not later: every clock reading of the driver moves the stand-in's clock on.
    std::vector<nvsim::Event> i2c;
    const nvsim::Event* pLastEnum = nullptr;
    for (const nvsim::Event& e : nvsim::Log()) {
        if (e.kind == nvsim::EventKind::I2C)
            i2c.push_back(e);
        else if (e.kind == nvsim::EventKind::Enum)
            pLastEnum = &e;
    }
    for (const nvsim::Event& e : i2c) {
        FUZZ_CHECK(e.hasInfo && e.info.i2cDevAddress == 0x88 && e.info.portId == 1 &&
                       e.info.bIsPortIdSet == 1 && e.info.bIsDDCPort == 0 && e.info.regAddrSize == 3 &&
                       e.info.cbSize == 2 && e.info.version == NV_I2C_INFO_VER3,
                   "transaction not addressed to the power IC as it must be: %s", Describe(e).c_str());
        bool bKnown = Is(e, {0xD1, 0x1A, 0x97}) || Is(e, {0xD1, 0x23, 0x78}) || Is(e, {0xD1, 0x1D, 0x50}) ||
                      Is(e, {0xD1, 0x80, 0x00}) || Is(e, {0xD0, 0x1A, 0x97}) || Is(e, {0xD0, 0x23, 0x78}) ||
                      Is(e, {0xD0, 0x1D, 0x50}) || Is(e, {0xD0, 0x80, 0x04}) || Is(e, {0xD0, 0x80, 0x80}) ||
                      Is(e, {0xD0, 0x80, 0x40});
        FUZZ_CHECK(bKnown, "command that is none of the program's: %s", Describe(e).c_str());
    }

    // FUZZ_SHOW=1 prints the run, to see what an input does.
    if (std::getenv("FUZZ_SHOW")) {
        for (const Box& box : boxes)
            std::fprintf(stderr, "box %lld \"%s\" / \"%s\"\n", static_cast<long long>(box.usec),
                         box.sText.c_str(), box.sCaption.c_str());
        for (const nvsim::Event& e : nvsim::Log())
            std::fprintf(stderr, "driver %s\n", Describe(e).c_str());
        for (int64_t t : reboots)
            std::fprintf(stderr, "reboot %lld\n", static_cast<long long>(t));
    }

    // No identity library, no export or no marker: one box, nothing else.
    bool bEligible = false;
    if (g_ppid) {
        std::string sText(g_ppid->c_str());
        for (const char* szMarker : kMarkers)
            bEligible |= sText.find(szMarker) != std::string::npos;
    }
    if (cardTag != CardTag::Present || !bEligible) {
        Box want = cardTag == CardTag::Missing || cardTag == CardTag::LoadFails
                       ? Box{kTextNoUpdate, "LoadLibrary is failed!", 0}
                       : Box{kTextNoUpdate, "OK", 0};
        FUZZ_CHECK(boxes.size() == 1 && boxes[0] == want, "%zu boxes, the first \"%s\"/\"%s\"; want one \"%s\"",
                   boxes.size(), boxes.empty() ? "" : boxes[0].sText.c_str(),
                   boxes.empty() ? "" : boxes[0].sCaption.c_str(), want.sCaption.c_str());
        FUZZ_CHECK(i2c.empty() && reboots.empty(), "the power IC was addressed for a board that is not eligible");
        nvsim::Start(nvsim::Scenario{});
        fuzz::EndRun();
        return 0;
    }

    // The state check's outcome, from its queries (speed 0, before any write). The response
    // buffer is cleared once before the first query and keeps what a query left in it.
    std::vector<const nvsim::Event*> queries;
    for (const nvsim::Event& e : i2c) {
        if (IsWrite(e) || e.info.i2cSpeed == 20)
            break;
        queries.push_back(&e);
    }
    bool bNothingToWrite = false;
    if (!queries.empty()) {
        uint8_t abResponse[2] = {0, 0};
        bool bAllNew = queries.size() == 3;
        for (size_t q = 0; q < queries.size(); ++q) {
            const nvsim::Event& e = *queries[q];
            if (q == 0 && e.status != 0)
                bNothingToWrite = true;
            if (e.status == 0 && e.resp.size() == 2)
                std::memcpy(abResponse, e.resp.data(), 2);
            bAllNew &= e.status == 0 && abResponse[1] == kNewValues[q];
        }
        bNothingToWrite |= bAllNew;
    }

    // Programming starts after the last warning box with its own enumeration; every GPU of
    // it (at most 64) gets one group of six commands, each control step its wait, whatever
    // the commands' statuses. Writes reach the driver either all or, without its I2C entry
    // point, not at all.
    int64_t nLastWarning = -1;
    for (const Box& box : boxes)
        if (box.sText == kTextWarning)
            nLastWarning = box.usec;
    const nvsim::Event* pProgramEnum =
        pLastEnum && nLastWarning >= 0 && pLastEnum->usec > nLastWarning ? pLastEnum : nullptr;
    size_t nGroups = pProgramEnum && pProgramEnum->status == 0
                         ? std::min<uint32_t>(pProgramEnum->count, NVAPI_MAX_PHYSICAL_GPUS)
                         : 0;
    std::vector<const nvsim::Event*> writes;
    for (const nvsim::Event& e : i2c)
        if (IsWrite(e))
            writes.push_back(&e);
    if (bNothingToWrite)
        FUZZ_CHECK(writes.empty() && reboots.empty() && nLastWarning < 0,
                   "the program went on although the state check found nothing to do");
    if (!writes.empty()) {
        FUZZ_CHECK(nLastWarning >= 0 && writes.front()->usec > nLastWarning,
                   "written to the power IC before the warning box: %s", Describe(*writes.front()).c_str());
        FUZZ_CHECK(queries.empty() || queries.back()->usec < writes.front()->usec,
                   "state query after the first write");
        static const uint8_t kGroup[6][3] = {{0xD0, 0x1A, 0x97}, {0xD0, 0x23, 0x78}, {0xD0, 0x1D, 0x50},
                                             {0xD0, 0x80, 0x04}, {0xD0, 0x80, 0x80}, {0xD0, 0x80, 0x40}};
        FUZZ_CHECK(writes.size() == 6 * nGroups, "%zu writes for %zu GPUs", writes.size(), nGroups);
        for (size_t k = 0; k < writes.size(); ++k) {
            const nvsim::Event& e = *writes[k];
            uint32_t nWantHandle = nvsim::kHandleBase + static_cast<uint32_t>(k / 6) * nvsim::kHandleStride;
            FUZZ_CHECK(e.cmd == std::vector<uint8_t>(kGroup[k % 6], kGroup[k % 6] + 3) &&
                           e.handle == nWantHandle,
                       "write %zu is %s; want command %zu of the group of GPU %zu", k, Describe(e).c_str(),
                       k % 6, k / 6);
        }
    } else {
        for (const nvsim::Event& e : i2c)
            FUZZ_CHECK(e.usec <= nLastWarning || nLastWarning < 0,
                       "a transaction after the warning box, but no write: %s", Describe(e).c_str());
    }
    std::vector<uint32_t> wantSleeps;
    for (size_t g = 0; g < nGroups; ++g)
        wantSleeps.insert(wantSleeps.end(), {150, 550, 1500});
    FUZZ_CHECK(sleeps == wantSleeps, "%zu waits for %zu groups", sleeps.size(), nGroups);
    if (nLastWarning >= 0 && nGroups == 0 && !(pProgramEnum && pProgramEnum->status == 0))
        FUZZ_CHECK(!boxes.empty() && boxes.back().sText == kTextFailed,
                   "programming's enumeration failed without the failure box");

    // The completion check and the reboot.
    const nvsim::Event* pCompletion = nullptr;
    for (const nvsim::Event& e : i2c) {
        if (e.info.i2cSpeed == 20 && Is(e, {0xD1, 0x80, 0x00})) {
            FUZZ_CHECK(!pCompletion, "a second completion query");
            pCompletion = &e;
        }
    }
    if (pCompletion) {
        FUZZ_CHECK(nGroups > 0 && !writes.empty() && pCompletion->usec > writes.back()->usec,
                   "completion query before the last group was sent");
        FUZZ_CHECK(pCompletion->handle == nvsim::kHandleBase, "completion query on another GPU than entry 0");
        FUZZ_CHECK(&i2c.back() == pCompletion, "a transaction after the completion query");
    }
    bool bPassed = pCompletion && pCompletion->status == 0 &&
                   (pCompletion->resp.size() < 2 || pCompletion->resp[1] == 0x00);
    FUZZ_CHECK(reboots.size() == (bPassed ? 1u : 0u), "%zu reboot requests, completion %s", reboots.size(),
               pCompletion ? Describe(*pCompletion).c_str() : "never queried");
    if (bPassed) {
        FUZZ_CHECK(!boxes.empty() && boxes.back().sText == kTextCompleted && boxes.back().usec >= pCompletion->usec &&
                       reboots[0] >= boxes.back().usec,
                   "reboot without the completion box after the passed check");
    } else if (pCompletion) {
        FUZZ_CHECK(!boxes.empty() && boxes.back().sText == kTextFailed, "failed completion check without the failure box");
    }

    nvsim::Start(nvsim::Scenario{});
    fuzz::EndRun();
    return 0;
}
