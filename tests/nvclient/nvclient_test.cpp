// The driver API client against the Win32 stand-in. Two fake driver libraries, A and B, are
// built from the same templates; what each one offers and answers is set per test, and
// everything they are asked to do lands in one log, so a test can see which module was
// reached and in what order.

#include <gtest/gtest.h>

#include <winstub.h>

#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "nvloader.h"
#include "nvwrappers.h"

namespace {

struct FakeDriver {
    bool offersInitialize = true;
    NvAPI_Status initStatus = NVAPI_OK;
    bool offersPreHook = true;
    bool offersPostHook = true;
    bool offersEnum = true;
    bool offersI2C = true;
    NvAPI_Status callStatus = NVAPI_OK;
    uint32_t hookWords[2] = {0xA1, 0xB2};  // what the before-call hook writes
    std::map<uint32_t, int> queries;       // resolver questions per interface ID
    // Arguments of the last calls.
    NvPhysicalGpuHandle* enumHandles = nullptr;
    uint32_t* enumCount = nullptr;
    NvPhysicalGpuHandle i2cGpu = nullptr;
    NV_I2C_INFO_V3* i2cInfo = nullptr;
    uint32_t* i2cUnknown = nullptr;
};

FakeDriver g_driver[2];
std::vector<std::string> g_log;  // "A:init", "A:pre e5ac921f 0 0", "A:enum", "A:post ..."

std::string Tag(int n) { return std::string(1, static_cast<char>('A' + n)) + ":"; }

template <int N>
void Log(const char* fmt, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, int32_t d = 0)
{
    char sz[128];
    snprintf(sz, sizeof sz, fmt, a, b, c, d);
    g_log.push_back(Tag(N) + sz);
}

template <int N>
NvAPI_Status __cdecl FakeInitialize()
{
    Log<N>("init");
    return g_driver[N].initStatus;
}

template <int N>
void __cdecl FakePreHook(uint32_t id, uint32_t* context)
{
    Log<N>("pre %08x %x %x", id, context[0], context[1]);
    context[0] = g_driver[N].hookWords[0];
    context[1] = g_driver[N].hookWords[1];
}

template <int N>
void __cdecl FakePostHook(uint32_t id, uint32_t word0, uint32_t word1, NvAPI_Status status)
{
    Log<N>("post %08x %x %x %d", id, word0, word1, status);
}

template <int N>
NvAPI_Status __cdecl FakeEnum(NvPhysicalGpuHandle* handles, uint32_t* count)
{
    Log<N>("enum");
    g_driver[N].enumHandles = handles;
    g_driver[N].enumCount = count;
    return g_driver[N].callStatus;
}

template <int N>
NvAPI_Status __cdecl FakeI2C(NvPhysicalGpuHandle gpu, NV_I2C_INFO_V3* info, uint32_t* unknown)
{
    Log<N>("i2c");
    g_driver[N].i2cGpu = gpu;
    g_driver[N].i2cInfo = info;
    g_driver[N].i2cUnknown = unknown;
    return g_driver[N].callStatus;
}

template <typename Fn>
void* Entry(bool offered, Fn fn)
{
    return offered ? reinterpret_cast<void*>(fn) : nullptr;
}

template <int N>
void* __cdecl FakeQueryInterface(uint32_t id)
{
    FakeDriver& d = g_driver[N];
    ++d.queries[id];
    switch (id) {
    case kNvIdInitialize: return Entry(d.offersInitialize, &FakeInitialize<N>);
    case kNvIdPreCallHook: return Entry(d.offersPreHook, &FakePreHook<N>);
    case kNvIdPostCallHook: return Entry(d.offersPostHook, &FakePostHook<N>);
    case kNvIdEnumPhysicalGPUs: return Entry(d.offersEnum, &FakeEnum<N>);
    case kNvIdI2CReadEx: return Entry(d.offersI2C, &FakeI2C<N>);
    default: return nullptr;
    }
}

constexpr int A = 0;
constexpr int B = 1;

const std::string kSystemNvapi = "C:\\windows\\system32\\nvapi.dll";
const std::string kElsewhereNvapi = "D:\\Drivers\\nvapi.dll";
const std::string kOtherNvapi = "E:\\Tools\\nvapi.dll";

winstub::ModuleFile DriverFile(int n, const std::string& path, uint32_t checkSum,
                               uint32_t timeDateStamp, bool exportsResolver = true)
{
    winstub::ModuleFile file;
    file.path = path;
    file.checkSum = checkSum;
    file.timeDateStamp = timeDateStamp;
    if (exportsResolver) {
        void* resolver = n == A ? reinterpret_cast<void*>(&FakeQueryInterface<A>)
                                : reinterpret_cast<void*>(&FakeQueryInterface<B>);
        file.exports.push_back({"nvapi_QueryInterface", resolver});
    }
    return file;
}

size_t CountEvents(winstub::EventKind kind) { return winstub::Events(kind).size(); }

// Both wrappers, so that every wrapper rule is checked on each of them.
struct Wrapper {
    const char* name;
    uint32_t id;
    FunctionSlot* slot;
    NvAPI_Status (*call)();
    const char* driverLine;  // what the fake logs when the wrapper reaches it
    bool FakeDriver::*offered;
};

NvPhysicalGpuHandle g_handles[NVAPI_MAX_PHYSICAL_GPUS];
uint32_t g_count;
NV_I2C_INFO_V3 g_info;
uint32_t g_unknown;

NvAPI_Status CallEnum() { return NvAPI_EnumPhysicalGPUs(g_handles, &g_count); }
NvAPI_Status CallI2C()
{
    return NvAPI_I2CReadEx(reinterpret_cast<NvPhysicalGpuHandle>(0x1234), &g_info, &g_unknown);
}

const Wrapper kWrappers[] = {
    {"NvAPI_EnumPhysicalGPUs", kNvIdEnumPhysicalGPUs, &g_slotEnumPhysicalGPUs, CallEnum, "enum",
     &FakeDriver::offersEnum},
    {"NvAPI_I2CReadEx", kNvIdI2CReadEx, &g_slotI2CReadEx, CallI2C, "i2c",
     &FakeDriver::offersI2C},
};

std::string PreLine(int n, uint32_t id)
{
    char sz[64];
    snprintf(sz, sizeof sz, "pre %08x 0 0", id);
    return Tag(n) + sz;
}

std::string PostLine(int n, uint32_t id, NvAPI_Status status)
{
    char sz[64];
    snprintf(sz, sizeof sz, "post %08x a1 b2 %d", id, status);
    return Tag(n) + sz;
}

// What one call through a wrapper makes driver `n` log, with both hooks offered.
std::vector<std::string> Bracketed(int n, const Wrapper& w, NvAPI_Status status)
{
    return {PreLine(n, w.id), Tag(n) + w.driverLine, PostLine(n, w.id, status)};
}

class NvClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winstub::Reset();
        g_nvLoader = NvLoaderState{};
        g_slotEnumPhysicalGPUs = FunctionSlot{};
        g_slotI2CReadEx = FunctionSlot{};
        g_driver[A] = FakeDriver{};
        g_driver[B] = FakeDriver{};
        g_log.clear();
    }

    // The log from index `from` on.
    static std::vector<std::string> LogFrom(size_t from)
    {
        return std::vector<std::string>(g_log.begin() + static_cast<long>(from), g_log.end());
    }
};

// ---------------------------------------------------------------------------------------
// Loader

TEST_F(NvClientTest, FreshLoadFromSystemDirectoryBindsOnceThenTakesFastPath)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));

    HMODULE hModule = nullptr;
    ASSERT_EQ(acquireModule(&hModule), kNvStatusBoundNow);
    EXPECT_EQ(hModule, winstub::FindLoaded(kSystemNvapi));
    EXPECT_NE(g_nvLoader.resolver, nullptr);
    EXPECT_NE(g_nvLoader.preCallHook, nullptr);
    EXPECT_NE(g_nvLoader.postCallHook, nullptr);
    EXPECT_EQ(g_nvLoader.bindCount, 1u);
    EXPECT_EQ(g_nvLoader.moduleIdentity[0], 0x100u);
    EXPECT_EQ(g_nvLoader.moduleIdentity[1], 5u);
    auto loads = winstub::Events(winstub::EventKind::LoadLibrary);
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].text, kSystemNvapi);
    EXPECT_EQ(loads[0].a, 0u);
    EXPECT_EQ(g_log, std::vector<std::string>{"A:init"});
    EXPECT_EQ(winstub::LockEntries(), 1);
    EXPECT_EQ(winstub::LockDepth(), 0);
    EXPECT_EQ(winstub::LiveLocalAllocs(), 0);

    // Bound and unchanged: no lock, no load, no driver call.
    HMODULE hAgain = nullptr;
    EXPECT_EQ(acquireModule(&hAgain), NVAPI_OK);
    EXPECT_EQ(hAgain, hModule);
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 1u);
    EXPECT_EQ(winstub::LockEntries(), 1);
    EXPECT_EQ(g_log, std::vector<std::string>{"A:init"});
    EXPECT_EQ(g_nvLoader.bindCount, 1u);
    EXPECT_EQ(winstub::RefCount(hModule), 1);
}

TEST_F(NvClientTest, LibraryAlreadyLoadedElsewhereIsBoundWithoutLoadingOrReference)
{
    winstub::AddFile(DriverFile(B, kSystemNvapi, 0x200, 7));  // must not be taken
    HMODULE hPreloaded = winstub::Preload(DriverFile(A, kElsewhereNvapi, 0x100, 5));

    HMODULE hModule = nullptr;
    EXPECT_EQ(acquireModule(&hModule), kNvStatusBoundNow);
    EXPECT_EQ(hModule, hPreloaded);
    EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 0u);
    EXPECT_EQ(winstub::FindLoaded(kSystemNvapi), nullptr);
    EXPECT_EQ(winstub::RefCount(hPreloaded), 1);
    EXPECT_EQ(winstub::LockEntries(), 0);
    EXPECT_EQ(g_log, std::vector<std::string>{"A:init"});
    EXPECT_EQ(g_nvLoader.moduleIdentity[0], 0x100u);
    EXPECT_EQ(g_nvLoader.moduleIdentity[1], 5u);
}

// An image without checksum and time stamp matches the zero start record; it must still be
// bound the first time it is seen, or the client would report "ready" with nothing bound.
TEST_F(NvClientTest, ModuleWithoutIdentityWordsIsBoundWhenFirstSeen)
{
    HMODULE hPreloaded = winstub::Preload(DriverFile(A, kElsewhereNvapi, 0, 0));

    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_NE(g_nvLoader.resolver, nullptr);
    EXPECT_EQ(g_nvLoader.bindCount, 1u);
    EXPECT_EQ(g_log, std::vector<std::string>{"A:init"});

    // Seen once, the same image takes the fast path.
    HMODULE hModule = nullptr;
    EXPECT_EQ(acquireModule(&hModule), NVAPI_OK);
    EXPECT_EQ(hModule, hPreloaded);
    EXPECT_EQ(g_nvLoader.bindCount, 1u);
}

TEST_F(NvClientTest, InitializeReportsBindingDuringTheCallAsSuccess)
{
    struct Case {
        const char* what;
        bool preloaded;
    };
    for (const Case& c : {Case{"loaded from the system directory", false},
                          Case{"found in the process", true}}) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.preloaded)
            winstub::Preload(DriverFile(A, kElsewhereNvapi, 0x100, 5));
        else
            winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_EQ(g_nvLoader.bindCount, 1u);
        EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_EQ(g_nvLoader.bindCount, 1u);
    }
}

TEST_F(NvClientTest, LibraryNotLoadableLatchesNotFound)
{
    struct Case {
        const char* what;
        bool onDisk;
        bool badImage;
        bool systemDirFails;
        size_t loadAttempts;
    };
    const Case cases[] = {
        {"absent from the system directory", false, false, false, 1},
        {"present but not loadable", true, true, false, 1},
        {"system directory unobtainable", true, false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.onDisk) {
            winstub::ModuleFile file = DriverFile(A, kSystemNvapi, 0x100, 5);
            file.badImage = c.badImage;
            winstub::AddFile(file);
        }
        winstub::FailSystemDir(c.systemDirFails);

        EXPECT_EQ(NvAPI_Initialize(), NVAPI_LIBRARY_NOT_FOUND);
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), c.loadAttempts);
        EXPECT_EQ(winstub::LockDepth(), 0);
        EXPECT_EQ(winstub::LiveLocalAllocs(), 0);

        // Latched: a library appearing later, on disk or in the process, is not looked for.
        winstub::FailSystemDir(false);
        winstub::RemoveFile(kSystemNvapi);
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        winstub::Preload(DriverFile(B, kElsewhereNvapi, 0x200, 7));
        EXPECT_EQ(NvAPI_Initialize(), NVAPI_LIBRARY_NOT_FOUND);
        for (const Wrapper& w : kWrappers)
            EXPECT_EQ(w.call(), NVAPI_LIBRARY_NOT_FOUND) << w.name;
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), c.loadAttempts);
        EXPECT_TRUE(g_log.empty());
        EXPECT_TRUE(g_driver[B].queries.empty());
    }
}

TEST_F(NvClientTest, FailedBindingAfterFreshLoadFreesLibraryAndNextCallLoadsAgain)
{
    struct Case {
        const char* what;
        bool exportsResolver;
        bool offersInitialize;
        NvAPI_Status initStatus;
    };
    const Case cases[] = {
        {"no nvapi_QueryInterface export", false, true, NVAPI_OK},
        {"no NvAPI_Initialize entry", true, false, NVAPI_OK},
        {"NvAPI_Initialize fails", true, true, NVAPI_ERROR},
        {"NvAPI_Initialize answers a positive value", true, true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5, c.exportsResolver));
        g_driver[A].offersInitialize = c.offersInitialize;
        g_driver[A].initStatus = c.initStatus;

        HMODULE hModule = reinterpret_cast<HMODULE>(1);
        EXPECT_EQ(acquireModule(&hModule), NVAPI_ERROR);
        EXPECT_EQ(hModule, nullptr);
        EXPECT_EQ(winstub::FindLoaded(kSystemNvapi), nullptr);
        EXPECT_EQ(CountEvents(winstub::EventKind::FreeLibrary), 1u);
        EXPECT_EQ(g_nvLoader.resolver, nullptr);
        EXPECT_EQ(g_nvLoader.preCallHook, nullptr);
        EXPECT_EQ(g_nvLoader.postCallHook, nullptr);
        EXPECT_EQ(g_nvLoader.bindCount, 0u);
        EXPECT_EQ(g_nvLoader.loadFailed, 0);
        EXPECT_EQ(winstub::LockDepth(), 0);
        EXPECT_EQ(NvAPI_Initialize(), NVAPI_ERROR);  // tried again, not latched
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 2u);

        winstub::RemoveFile(kSystemNvapi);
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        g_driver[A] = FakeDriver{};
        EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 3u);
        EXPECT_EQ(g_nvLoader.bindCount, 1u);
    }
}

TEST_F(NvClientTest, ModuleIdentityByCheckSumElseTimeDateStamp)
{
    struct Case {
        uint32_t boundCheckSum, boundStamp, imageCheckSum, imageStamp;
        bool changed;
    };
    const Case cases[] = {
        {0x1234, 1, 0x1234, 2, false},  // equal non-zero checksum: same module
        {0x1234, 1, 0x5678, 1, true},
        {0, 1, 0, 2, true},
        {0, 1, 0, 1, false},
        {0x1234, 1, 0, 1, false},  // image without checksum: the stamp decides
        {0x1234, 1, 0, 2, true},
        {0, 1, 0x1234, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.boundCheckSum << "/" << c.boundStamp
                                        << " -> " << c.imageCheckSum << "/" << c.imageStamp);
        SetUp();
        HMODULE hModule =
            winstub::Preload(DriverFile(A, kElsewhereNvapi, c.boundCheckSum, c.boundStamp));
        ASSERT_EQ(acquireModule(nullptr), kNvStatusBoundNow);
        winstub::SetImageIdentity(hModule, c.imageCheckSum, c.imageStamp);

        EXPECT_EQ(acquireModule(nullptr), c.changed ? kNvStatusBoundNow : NVAPI_OK);
        EXPECT_EQ(g_nvLoader.bindCount, c.changed ? 2u : 1u);
        EXPECT_EQ(g_log.size(), c.changed ? 2u : 1u);  // the driver initialises per binding
        EXPECT_EQ(g_nvLoader.moduleIdentity[0], c.changed ? c.imageCheckSum : c.boundCheckSum);
        EXPECT_EQ(g_nvLoader.moduleIdentity[1], c.changed ? c.imageStamp : c.boundStamp);
    }
}

TEST_F(NvClientTest, FoundModuleThatFailsToBindIsLeftAloneAndGoesStale)
{
    HMODULE hModule = winstub::Preload(DriverFile(A, kElsewhereNvapi, 0x10, 1));
    g_driver[A].initStatus = NVAPI_ERROR;

    EXPECT_EQ(acquireModule(nullptr), NVAPI_ERROR);
    EXPECT_EQ(winstub::RefCount(hModule), 1);
    EXPECT_EQ(CountEvents(winstub::EventKind::FreeLibrary), 0u);
    EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 0u);
    EXPECT_EQ(g_nvLoader.resolver, nullptr);
    EXPECT_EQ(g_nvLoader.moduleIdentity[0], 0x10u);

    // Stale: its identity is recorded, so it is not bound again until the image changes.
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    for (const Wrapper& w : kWrappers)
        EXPECT_EQ(w.call(), NVAPI_NO_IMPLEMENTATION) << w.name;
    EXPECT_EQ(g_log, std::vector<std::string>{"A:init"});

    g_driver[A].initStatus = NVAPI_OK;
    winstub::SetImageIdentity(hModule, 0x11, 1);
    EXPECT_EQ(acquireModule(nullptr), kNvStatusBoundNow);
    EXPECT_EQ(g_nvLoader.bindCount, 1u);
    EXPECT_EQ(CallEnum(), NVAPI_OK);
    EXPECT_EQ(g_log.back(), PostLine(A, kNvIdEnumPhysicalGPUs, NVAPI_OK));
}

TEST_F(NvClientTest, LockIsTakenOnlyToLoad)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_OK);
    EXPECT_EQ(winstub::LockEntries(), 1);
    for (const Wrapper& w : kWrappers)
        EXPECT_EQ(w.call(), NVAPI_OK) << w.name;
    winstub::SetImageIdentity(winstub::FindLoaded(kSystemNvapi), 0x101, 5);
    EXPECT_EQ(CallEnum(), NVAPI_OK);  // re-binding runs outside the lock
    EXPECT_EQ(g_nvLoader.bindCount, 2u);
    EXPECT_EQ(winstub::LockEntries(), 1);
    EXPECT_EQ(winstub::LockDepth(), 0);
}

// ---------------------------------------------------------------------------------------
// Wrappers

TEST_F(NvClientTest, WrapperLooksEntryUpOncePerBindingAndStampsSlot)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    for (const Wrapper& w : kWrappers) {
        SCOPED_TRACE(w.name);
        const int locks = winstub::LockEntries();
        const size_t loads = CountEvents(winstub::EventKind::LoadLibrary);
        for (int call = 0; call < 2; ++call) {
            const size_t logged = g_log.size();
            EXPECT_EQ(w.call(), NVAPI_OK);
            EXPECT_EQ(LogFrom(logged), Bracketed(A, w, NVAPI_OK));
        }
        EXPECT_EQ(g_driver[A].queries[w.id], 1);
        EXPECT_NE(w.slot->entry, nullptr);
        EXPECT_EQ(w.slot->stamp, 1u);
        EXPECT_EQ(winstub::LockEntries(), locks);
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), loads);
        EXPECT_EQ(winstub::LiveLocalAllocs(), 0);
    }
    EXPECT_EQ(g_log.front(), "A:init");
    EXPECT_EQ(g_driver[A].queries[kNvIdInitialize], 1);
}

TEST_F(NvClientTest, WrapperWithoutDriverEntryAnswersNoImplementationAndAsksAgain)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    for (const Wrapper& w : kWrappers) {
        SCOPED_TRACE(w.name);
        g_driver[A].*w.offered = false;
        const size_t logged = g_log.size();
        EXPECT_EQ(w.call(), NVAPI_NO_IMPLEMENTATION);
        EXPECT_EQ(w.call(), NVAPI_NO_IMPLEMENTATION);
        EXPECT_EQ(g_log.size(), logged) << "no hook and no driver call";
        EXPECT_EQ(g_driver[A].queries[w.id], 2);
        EXPECT_EQ(w.slot->entry, nullptr);

        // A miss is not remembered.
        g_driver[A].*w.offered = true;
        EXPECT_EQ(w.call(), NVAPI_OK);
        EXPECT_EQ(LogFrom(logged), Bracketed(A, w, NVAPI_OK));
    }
}

TEST_F(NvClientTest, HooksBracketEveryCallWithFreshContext)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    g_driver[A].callStatus = 7;
    for (const Wrapper& w : kWrappers) {
        SCOPED_TRACE(w.name);
        // The before-call hook logs the words it was handed: zero on every call, although
        // it wrote a1/b2 into them the time before.
        for (int call = 0; call < 2; ++call) {
            const size_t logged = g_log.size();
            EXPECT_EQ(w.call(), 7);
            EXPECT_EQ(LogFrom(logged), Bracketed(A, w, 7));
        }
    }
}

TEST_F(NvClientTest, HooksAreUsedOnlyAsAPair)
{
    struct Case {
        bool pre, post;
    };
    for (const Case& c : {Case{true, false}, Case{false, true}, Case{false, false}}) {
        SCOPED_TRACE(testing::Message() << "pre " << c.pre << " post " << c.post);
        SetUp();
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        g_driver[A].offersPreHook = c.pre;
        g_driver[A].offersPostHook = c.post;
        g_driver[A].callStatus = 9;
        ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
        EXPECT_EQ(g_nvLoader.preCallHook, nullptr);
        EXPECT_EQ(g_nvLoader.postCallHook, nullptr);
        for (const Wrapper& w : kWrappers) {
            const size_t logged = g_log.size();
            EXPECT_EQ(w.call(), 9) << w.name;
            EXPECT_EQ(LogFrom(logged), std::vector<std::string>{Tag(A) + w.driverLine});
        }
    }
}

TEST_F(NvClientTest, DriverStatusComesBackUnchanged)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    const NvAPI_Status statuses[] = {-1, -3, -5, kNvStatusBoundNow, 1, 0x7FFFFFFF, INT32_MIN};
    for (NvAPI_Status status : statuses) {
        g_driver[A].callStatus = status;
        for (const Wrapper& w : kWrappers) {
            const size_t logged = g_log.size();
            EXPECT_EQ(w.call(), status) << w.name;
            EXPECT_EQ(LogFrom(logged), Bracketed(A, w, status)) << w.name;
        }
    }
}

TEST_F(NvClientTest, ArgumentsReachDriverUnchanged)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    EXPECT_EQ(CallEnum(), NVAPI_OK);
    EXPECT_EQ(g_driver[A].enumHandles, g_handles);
    EXPECT_EQ(g_driver[A].enumCount, &g_count);
    EXPECT_EQ(CallI2C(), NVAPI_OK);
    EXPECT_EQ(g_driver[A].i2cGpu, reinterpret_cast<NvPhysicalGpuHandle>(0x1234));
    EXPECT_EQ(g_driver[A].i2cInfo, &g_info);
    EXPECT_EQ(g_driver[A].i2cUnknown, &g_unknown);
}

TEST_F(NvClientTest, LoaderFailureIsReturnedAndLeavesSlotAlone)
{
    struct Case {
        const char* what;
        bool onDisk;
        NvAPI_Status expected;
    };
    for (const Case& c : {Case{"library not found", false, NVAPI_LIBRARY_NOT_FOUND},
                          Case{"binding fails", true, NVAPI_ERROR}}) {
        for (const Wrapper& w : kWrappers) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << w.name);
            SetUp();
            if (c.onDisk)
                winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
            g_driver[A].initStatus = NVAPI_ERROR;
            const FunctionSlot before{reinterpret_cast<void*>(&FakeEnum<B>), 7};
            *w.slot = before;
            EXPECT_EQ(w.call(), c.expected);
            EXPECT_EQ(w.slot->entry, before.entry);
            EXPECT_EQ(w.slot->stamp, before.stamp);
            EXPECT_EQ(g_log, c.onDisk ? std::vector<std::string>{"A:init"}
                                      : std::vector<std::string>{});
        }
    }
}

TEST_F(NvClientTest, BindingDuringTheCallLooksEntryUpEvenWithCurrentStamp)
{
    for (const Wrapper& w : kWrappers) {
        SCOPED_TRACE(w.name);
        SetUp();
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        // A slot that claims the first binding but points into another module.
        *w.slot = FunctionSlot{reinterpret_cast<void*>(&FakeEnum<B>), 1};
        EXPECT_EQ(w.call(), NVAPI_OK);
        std::vector<std::string> expected = Bracketed(A, w, NVAPI_OK);
        expected.insert(expected.begin(), "A:init");
        EXPECT_EQ(g_log, expected);
        EXPECT_EQ(g_driver[A].queries[w.id], 1);
    }
}

TEST_F(NvClientTest, RebindingToAnotherImageRefreshesEverySlot)
{
    HMODULE hA = winstub::Preload(DriverFile(A, kElsewhereNvapi, 0x10, 1));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    for (const Wrapper& w : kWrappers)
        ASSERT_EQ(w.call(), NVAPI_OK) << w.name;

    // Whoever loaded A lets it go, and a different image of that name comes in.
    ASSERT_TRUE(FreeLibrary(hA));
    winstub::Preload(DriverFile(B, kOtherNvapi, 0x20, 1));
    const size_t logged = g_log.size();
    for (const Wrapper& w : kWrappers)
        EXPECT_EQ(w.call(), NVAPI_OK) << w.name;

    std::vector<std::string> expected{"B:init"};
    for (const Wrapper& w : kWrappers) {
        auto lines = Bracketed(B, w, NVAPI_OK);
        expected.insert(expected.end(), lines.begin(), lines.end());
        EXPECT_EQ(g_driver[B].queries[w.id], 1) << w.name;
        EXPECT_EQ(w.slot->stamp, 2u) << w.name;
    }
    EXPECT_EQ(LogFrom(logged), expected);
    EXPECT_EQ(g_nvLoader.bindCount, 2u);
}

TEST_F(NvClientTest, FailedRebindingNeverCallsIntoEarlierModule)
{
    HMODULE hA = winstub::Preload(DriverFile(A, kElsewhereNvapi, 0x10, 1));
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
    for (const Wrapper& w : kWrappers)
        ASSERT_EQ(w.call(), NVAPI_OK) << w.name;

    ASSERT_TRUE(FreeLibrary(hA));
    HMODULE hB = winstub::Preload(DriverFile(B, kOtherNvapi, 0x20, 1));
    g_driver[B].initStatus = NVAPI_ERROR;
    const size_t logged = g_log.size();
    EXPECT_EQ(CallEnum(), NVAPI_ERROR);
    // The slots still carry the current stamp and A's entries, and A's hooks are still
    // recorded; none of them may be reached.
    for (const Wrapper& w : kWrappers) {
        EXPECT_EQ(w.slot->stamp, g_nvLoader.bindCount) << w.name;
        for (int call = 0; call < 2; ++call)
            EXPECT_EQ(w.call(), NVAPI_NO_IMPLEMENTATION) << w.name;
    }
    EXPECT_EQ(LogFrom(logged), std::vector<std::string>{"B:init"});

    // B's image changes again and binds: the wrappers reach B.
    g_driver[B].initStatus = NVAPI_OK;
    winstub::SetImageIdentity(hB, 0x21, 1);
    const size_t rebound = g_log.size();
    std::vector<std::string> expected{"B:init"};
    for (const Wrapper& w : kWrappers) {
        EXPECT_EQ(w.call(), NVAPI_OK) << w.name;
        auto lines = Bracketed(B, w, NVAPI_OK);
        expected.insert(expected.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(LogFrom(rebound), expected);
}

// ---------------------------------------------------------------------------------------
// Loading from the system directory

TEST_F(NvClientTest, LoadSystemLibraryRefusesPathSeparators)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    winstub::AddFile(DriverFile(A, "C:\\windows\\system32\\sub\\nvapi.dll", 0x100, 5));
    const char* names[] = {"sub\\nvapi.dll", "sub/nvapi.dll", "\\nvapi.dll", "/nvapi.dll",
                           "C:\\windows\\system32\\nvapi.dll", "nvapi.dll/"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        SetLastError(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(loadSystemLibrary(name, 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 0u);
        EXPECT_EQ(winstub::LiveLocalAllocs(), 0);
    }
}

TEST_F(NvClientTest, LoadSystemLibraryClearsSearchPathFlags)
{
    winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
    struct Case {
        DWORD given, passed;
    };
    const Case cases[] = {
        {0, 0},
        {LOAD_WITH_ALTERED_SEARCH_PATH, 0},
        {LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR, 0},
        {LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32, 0},
        {LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, 0},
        {0x1F08, 0},
        {DONT_RESOLVE_DLL_REFERENCES | 0x1F08, DONT_RESOLVE_DLL_REFERENCES},
        {0xFFFFFFFF, 0xFFFFE0F7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.given);
        winstub::ClearTrace();
        loadSystemLibrary("nvapi.dll", c.given);
        auto loads = winstub::Events(winstub::EventKind::LoadLibrary);
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0].a, c.passed);
        EXPECT_EQ(loads[0].text, kSystemNvapi);
    }
}

TEST_F(NvClientTest, LoadSystemLibraryBuildsFullPathInSystemDirectory)
{
    struct Case {
        const char* systemDir;
        const char* path;
    };
    const Case cases[] = {
        {"C:\\windows\\system32", "C:\\windows\\system32\\nvapi.dll"},
        {"C:\\windows\\system32\\", "C:\\windows\\system32\\nvapi.dll"},
        {"C:\\", "C:\\nvapi.dll"},
        {"D:\\W\\S", "D:\\W\\S\\nvapi.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.systemDir);
        SetUp();
        // Copies where a search by bare name would look first.
        winstub::AddFile(DriverFile(B, "C:\\Program Files\\vrmset\\nvapi.dll", 0x200, 7));
        winstub::AddFile(DriverFile(B, std::string(winstub::kDefaultCurrentDir) + "\\nvapi.dll",
                                    0x200, 7));
        winstub::AddFile(DriverFile(A, c.path, 0x100, 5));
        winstub::SetSystemDir(c.systemDir);

        HMODULE hModule = loadSystemLibrary("nvapi.dll", 0);
        ASSERT_NE(hModule, nullptr);
        EXPECT_EQ(winstub::PathOf(hModule), c.path);
        auto loads = winstub::Events(winstub::EventKind::LoadLibrary);
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0].text, c.path);
        EXPECT_EQ(winstub::LiveLocalAllocs(), 0);
    }
}

TEST_F(NvClientTest, LoadSystemLibraryLoadsNothingWithoutItsResources)
{
    struct Case {
        const char* what;
        int allocsBeforeFailure;  // -1: none fails
        bool systemDirFails;
    };
    const Case cases[] = {
        {"name buffer not allocated", 0, false},
        {"path buffer not allocated", 1, false},
        {"system directory unobtainable", -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        winstub::AddFile(DriverFile(A, kSystemNvapi, 0x100, 5));
        winstub::FailLocalAllocAfter(c.allocsBeforeFailure);
        winstub::FailSystemDir(c.systemDirFails);
        EXPECT_EQ(loadSystemLibrary("nvapi.dll", 0), nullptr);
        EXPECT_EQ(CountEvents(winstub::EventKind::LoadLibrary), 0u);
        EXPECT_EQ(winstub::LiveLocalAllocs(), 0);
    }
}

}  // namespace
