// The driver library loader and the two call wrappers, against arbitrary sequences of module
// changes.
//
// Four driver library images (A to D), each with its own resolver, initialisation, hooks and
// the two functions, and each with identity words that tell it from the others. The input is
// a sequence of steps: call NvAPI_Initialize or one of the wrappers; put an image (or an
// unloadable file, or nothing) into the system directory as nvapi.dll; let another component
// unload the nvapi.dll of the process and load an image from any folder; change what an image
// answers (initialisation status, missing interface IDs, which hooks it offers, the status of
// its functions); make the system directory or the next allocations fail. After every step:
//   - no call reaches an image that is not the nvapi.dll loaded in the process at that
//     moment, and none reaches a function through a binding that failed;
//   - NvAPI_Initialize answers 0, -1 or -2; a wrapper answers -1, -2, -3 or, when it reached
//     the driver's function, exactly what that function returned (never -14);
//   - the hooks are called as a pair around the function, of the same image, the second
//     getting the words the first wrote and the function's status, and exactly when that
//     image offered both at its binding;
//   - once a call answered -2 (the system directory had no loadable library), every later
//     call answers -2, nothing is loaded and no driver code runs;
//   - the library is only ever loaded by full path from the system directory, without search
//     path flags, and only a library that failed to bind just now is freed again;
//   - the loader lock is left and every temporary buffer freed, also when the system
//     directory cannot be obtained or a buffer cannot be allocated.
#include "fuzz_support.h"
#include "nvloader.h"
#include "nvwrappers.h"

#include <array>
#include <climits>
#include <map>
#include <optional>
#include <vector>

namespace {

constexpr int kImages = 4;
constexpr const char* kSystemPath = "C:\\windows\\system32\\nvapi.dll";
constexpr const char* kOtherPaths[3] = {"C:\\windows\\system32\\nvapi.dll",
                                        "C:\\Program Files\\vendor\\nvapi.dll",
                                        "C:\\Users\\user\\nvapi.dll"};
constexpr NvAPI_Status kStatuses[] = {0, 0, 0, -1, -2, -3, -14, 1, -5, INT_MAX, INT_MIN};
constexpr uint32_t kIdentities[kImages][2] = {
    {0x0001A2B3, 0x5F000000}, {0x00000000, 0x5F000001}, {0x0002C4D5, 0x5F000000}, {0x00000000, 0x00000000}};

struct Behaviour {
    bool bResolver = true;
    NvAPI_Status nInit = 0;
    uint8_t nMissing = 0;  // bits: init, pre, post, enum, i2c
    NvAPI_Status nStatus = 0;
};

enum class Kind { Resolver, Init, Pre, Entry, Post };
struct Call {
    int nImage;
    Kind kind;
    uint32_t id;
    uint32_t words[2];
    NvAPI_Status status;
};

std::array<Behaviour, kImages> g_behaviour;
std::vector<Call> g_calls;
std::map<HMODULE, int> g_imageOf;       // loaded module -> image
std::array<std::map<uint32_t, bool>, kImages> g_answered;  // last answer per image and ID
uint32_t g_nHookCounter;

// The image of the nvapi.dll loaded in the process now, -1 when there is none.
int CurrentImage() {
    HMODULE h = winstub::FindLoaded("nvapi.dll");
    auto it = g_imageOf.find(h);
    return h && it != g_imageOf.end() ? it->second : -1;
}

void Reached(int k, Kind kind, uint32_t id) {
    int nCurrent = CurrentImage();
    FUZZ_CHECK(nCurrent == k, "image %c reached (call kind %d, ID 0x%08X) while the loaded nvapi.dll is %c",
               'A' + k, static_cast<int>(kind), id, nCurrent < 0 ? '-' : 'A' + nCurrent);
}

template <int K>
NvAPI_Status __cdecl Init() {
    Reached(K, Kind::Init, kNvIdInitialize);
    g_calls.push_back({K, Kind::Init, kNvIdInitialize, {}, g_behaviour[K].nInit});
    return g_behaviour[K].nInit;
}

template <int K>
void __cdecl PreHook(uint32_t id, uint32_t* pWords) {
    Reached(K, Kind::Pre, id);
    FUZZ_CHECK(pWords && pWords[0] == 0 && pWords[1] == 0, "the hook words are not zeroed");
    pWords[0] = 0xC0DE0000u | K;
    pWords[1] = ++g_nHookCounter;
    g_calls.push_back({K, Kind::Pre, id, {pWords[0], pWords[1]}, 0});
}

template <int K>
void __cdecl PostHook(uint32_t id, uint32_t w0, uint32_t w1, NvAPI_Status status) {
    Reached(K, Kind::Post, id);
    g_calls.push_back({K, Kind::Post, id, {w0, w1}, status});
}

template <int K>
NvAPI_Status __cdecl Enum(NvPhysicalGpuHandle* phGpus, uint32_t* pnCount) {
    Reached(K, Kind::Entry, kNvIdEnumPhysicalGPUs);
    FUZZ_CHECK(phGpus && pnCount, "enumeration without its buffers");
    g_calls.push_back({K, Kind::Entry, kNvIdEnumPhysicalGPUs, {}, g_behaviour[K].nStatus});
    return g_behaviour[K].nStatus;
}

template <int K>
NvAPI_Status __cdecl I2C(NvPhysicalGpuHandle, NV_I2C_INFO_V3* pInfo, uint32_t*) {
    Reached(K, Kind::Entry, kNvIdI2CReadEx);
    FUZZ_CHECK(pInfo, "I2C call without its record");
    g_calls.push_back({K, Kind::Entry, kNvIdI2CReadEx, {}, g_behaviour[K].nStatus});
    return g_behaviour[K].nStatus;
}

template <int K>
void* __cdecl Resolver(uint32_t id) {
    Reached(K, Kind::Resolver, id);
    const Behaviour& b = g_behaviour[K];
    void* p = nullptr;
    switch (id) {
    case kNvIdInitialize: p = (b.nMissing & 1) ? nullptr : reinterpret_cast<void*>(&Init<K>); break;
    case kNvIdPreCallHook: p = (b.nMissing & 2) ? nullptr : reinterpret_cast<void*>(&PreHook<K>); break;
    case kNvIdPostCallHook: p = (b.nMissing & 4) ? nullptr : reinterpret_cast<void*>(&PostHook<K>); break;
    case kNvIdEnumPhysicalGPUs: p = (b.nMissing & 8) ? nullptr : reinterpret_cast<void*>(&Enum<K>); break;
    case kNvIdI2CReadEx: p = (b.nMissing & 16) ? nullptr : reinterpret_cast<void*>(&I2C<K>); break;
    default: break;
    }
    g_answered[K][id] = p != nullptr;
    g_calls.push_back({K, Kind::Resolver, id, {}, 0});
    return p;
}

template <int K>
BOOL ImageMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        g_imageOf[reinterpret_cast<HMODULE>(hInstance)] = K;
    else if (dwReason == DLL_PROCESS_DETACH)
        g_imageOf.erase(reinterpret_cast<HMODULE>(hInstance));
    return TRUE;
}

void* const kResolvers[kImages] = {reinterpret_cast<void*>(&Resolver<0>), reinterpret_cast<void*>(&Resolver<1>),
                                   reinterpret_cast<void*>(&Resolver<2>), reinterpret_cast<void*>(&Resolver<3>)};
BOOL (*const kMains[kImages])(HINSTANCE, DWORD, LPVOID) = {&ImageMain<0>, &ImageMain<1>, &ImageMain<2>,
                                                          &ImageMain<3>};

winstub::ModuleFile ImageFile(const std::string& path, int k) {
    winstub::ModuleFile file{path, {}};
    if (g_behaviour[k].bResolver)
        file.exports.push_back({"nvapi_QueryInterface", kResolvers[k]});
    file.checkSum = kIdentities[k][0];
    file.timeDateStamp = kIdentities[k][1];
    file.dllMain = kMains[k];
    return file;
}

// The state of the checks across the steps.
bool g_bLatched;

// One call of the client; what it did between its start and its end is checked here.
void ClientCall(int nWhich) {
    const size_t nCallsBefore = g_calls.size();
    const size_t nTraceBefore = winstub::Trace().size();
    NvAPI_Status status;
    uint32_t id = 0;
    if (nWhich == 0) {
        status = NvAPI_Initialize();
    } else if (nWhich == 1) {
        NvPhysicalGpuHandle ahGpu[NVAPI_MAX_PHYSICAL_GPUS] = {};
        uint32_t nCount = 0;
        id = kNvIdEnumPhysicalGPUs;
        status = NvAPI_EnumPhysicalGPUs(ahGpu, &nCount);
    } else {
        NV_I2C_INFO_V3 info{};
        uint32_t aArg[2] = {1, 0};
        id = kNvIdI2CReadEx;
        status = NvAPI_I2CReadEx(nullptr, &info, aArg);
    }

    FUZZ_CHECK(winstub::LockDepth() == 0, "the loader lock is still held");
    FUZZ_CHECK(winstub::LiveLocalAllocs() == 0, "%d temporary buffers not freed", winstub::LiveLocalAllocs());

    // Loads and frees during the call.
    std::string sLoaded;
    for (size_t i = nTraceBefore; i < winstub::Trace().size(); ++i) {
        const winstub::Event& e = winstub::Trace()[i];
        if (e.kind == winstub::EventKind::LoadLibrary) {
            FUZZ_CHECK(e.text == kSystemPath && (e.a & 0x1F08) == 0,
                       "loaded \"%s\" with flags 0x%X", e.text.c_str(), e.a);
            sLoaded = e.caption;
        } else if (e.kind == winstub::EventKind::FreeLibrary) {
            FUZZ_CHECK(!sLoaded.empty() && e.text == sLoaded && status == NVAPI_ERROR,
                       "freed \"%s\" (status %d)", e.text.c_str(), status);
        }
    }

    if (g_bLatched) {
        FUZZ_CHECK(status == NVAPI_LIBRARY_NOT_FOUND, "status %d after the load failure", status);
        FUZZ_CHECK(g_calls.size() == nCallsBefore, "driver code ran after the load failure");
        FUZZ_CHECK(sLoaded.empty(), "a load was tried after the load failure");
        return;
    }

    if (nWhich == 0) {
        FUZZ_CHECK(status == NVAPI_OK || status == NVAPI_ERROR || status == NVAPI_LIBRARY_NOT_FOUND,
                   "NvAPI_Initialize answered %d", status);
        g_bLatched = status == NVAPI_LIBRARY_NOT_FOUND;
        return;
    }

    // What the wrapper reached: the function at most once, the hooks around it.
    const Call* pEntry = nullptr;
    const Call* pPre = nullptr;
    const Call* pPost = nullptr;
    for (size_t i = nCallsBefore; i < g_calls.size(); ++i) {
        const Call& c = g_calls[i];
        if (c.kind == Kind::Entry) {
            FUZZ_CHECK(!pEntry && c.id == id, "a second or another function reached (0x%08X)", c.id);
            pEntry = &c;
        } else if (c.kind == Kind::Pre) {
            FUZZ_CHECK(!pPre && !pEntry && c.id == id, "pre-call hook out of place");
            pPre = &c;
        } else if (c.kind == Kind::Post) {
            FUZZ_CHECK(!pPost && pEntry && c.id == id, "post-call hook out of place");
            pPost = &c;
        }
    }
    if (!pEntry) {
        FUZZ_CHECK(status == NVAPI_ERROR || status == NVAPI_LIBRARY_NOT_FOUND || status == NVAPI_NO_IMPLEMENTATION,
                   "wrapper answered %d without reaching the driver", status);
        FUZZ_CHECK(!pPre && !pPost, "a hook was called without the function");
        g_bLatched = status == NVAPI_LIBRARY_NOT_FOUND;
        return;
    }
    FUZZ_CHECK(status == pEntry->status, "wrapper answered %d, the driver %d", status, pEntry->status);
    const int k = pEntry->nImage;
    const bool bHooks = g_answered[k][kNvIdPreCallHook] && g_answered[k][kNvIdPostCallHook];
    FUZZ_CHECK((pPre != nullptr) == bHooks && (pPost != nullptr) == bHooks,
               "hooks called %d/%d, image %c offers both: %d", pPre != nullptr, pPost != nullptr, 'A' + k, bHooks);
    if (bHooks) {
        FUZZ_CHECK(pPre->nImage == k && pPost->nImage == k, "hooks of another image than the function");
        FUZZ_CHECK(pPost->words[0] == pPre->words[0] && pPost->words[1] == pPre->words[1] &&
                       pPost->status == pEntry->status,
                   "post-call hook got other words or status than the call had");
    }
}

// Another component unloads whatever nvapi.dll the process has, to the last reference.
void UnloadCurrent() {
    while (HMODULE h = winstub::FindLoaded("nvapi.dll")) {
        int nRefs = winstub::RefCount(h);
        for (int i = 0; i < nRefs; ++i)
            FreeLibrary(h);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::Input in(pData, nSize);
    winstub::Reset();
    g_nvLoader = NvLoaderState{};
    g_slotEnumPhysicalGPUs = FunctionSlot{};
    g_slotI2CReadEx = FunctionSlot{};
    g_behaviour = {};
    g_calls.clear();
    g_imageOf.clear();
    for (auto& m : g_answered)
        m.clear();
    g_nHookCounter = 0;
    g_bLatched = false;
    winstub::AddFile(ImageFile(kSystemPath, 0));

    for (int nStep = 0; nStep < 64 && in.Left() > 0; ++nStep) {
        uint8_t op = in.U8();
        int k = op >> 4 & 3;
        switch (op & 7) {
        case 0:
        case 1:
        case 2:
            ClientCall(op & 7);
            break;
        case 3:  // the system directory's nvapi.dll
            if (op & 0x40) {
                winstub::RemoveFile(kSystemPath);
            } else {
                winstub::ModuleFile file = ImageFile(kSystemPath, k);
                file.badImage = op & 0x80;
                winstub::AddFile(file);
            }
            break;
        case 4:  // another component replaces the module in the process
            UnloadCurrent();
            if (!(op & 0x40)) {
                HMODULE h = winstub::Preload(ImageFile(kOtherPaths[in.Pick(3)], k));
                FUZZ_CHECK(h != nullptr, "preloading an image failed");
            }
            break;
        case 5: {  // what an image answers from now on
            Behaviour& b = g_behaviour[k];
            uint8_t v = in.U8();
            b.nInit = (v & 3) == 3 ? kStatuses[(v >> 2) % std::size(kStatuses)] : 0;
            b.nMissing = in.U8() & 0x1F;
            b.nStatus = kStatuses[in.Pick(std::size(kStatuses))];
            if (op & 0x80)
                b.bResolver = !b.bResolver;  // for the files put down from now on
            break;
        }
        case 6:  // the system directory cannot be obtained, or a temporary buffer not had
            if (op & 0x10)
                winstub::FailSystemDir(op & 0x20);
            else
                winstub::FailLocalAllocAfter(static_cast<int>(in.Pick(4)));
            break;
        default:  // a client call of the I2C wrapper
            ClientCall(2);
            break;
        }
    }

    fuzz::EndRun();
    g_calls.clear();
    g_imageOf.clear();
    return 0;
}
