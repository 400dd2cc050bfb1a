// Run-time binding of the GPU driver's API library, nvapi.dll.
//
// The library is taken from the process when some module of that name is already loaded,
// otherwise it is loaded by full path from the Windows system directory (never through the
// search path, so a copy beside the program or in the current directory cannot stand in for
// the driver's own). Binding resolves nvapi_QueryInterface, has the driver initialise itself
// and picks up its two call hooks. The identity words of the module image tell when the
// module in the process is no longer the image that was bound, and the next call binds again.

#include "nvloader.h"

#include <cstring>

NvLoaderState g_nvLoader;

namespace {

constexpr char kNvapiName[] = "nvapi.dll";
constexpr char kResolverExport[] = "nvapi_QueryInterface";

// Flags that choose or widen where LoadLibraryEx looks (altered search path, the
// LOAD_LIBRARY_SEARCH_* family). The loader always hands it a full path in the system
// directory, so none of them may pass.
constexpr DWORD kSearchPathFlags = 0x1F08;

// Function pointers travel through void* so that a cast between unrelated function types
// is never made directly.
template <typename Fn>
Fn asEntry(FARPROC proc)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

template <typename Fn>
Fn asEntry(void* entry)
{
    return reinterpret_cast<Fn>(entry);
}

// CheckSum and TimeDateStamp of a module mapped in memory: the module handle is the image
// base, where the DOS header points to the PE header.
void readModuleIdentity(HMODULE hModule, uint32_t* pCheckSum, uint32_t* pTimeDateStamp)
{
    const BYTE* pbImage = reinterpret_cast<const BYTE*>(hModule);
    const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pbImage);
    const IMAGE_NT_HEADERS* pNt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(pbImage + pDos->e_lfanew);
    *pCheckSum = pNt->OptionalHeader.CheckSum;
    *pTimeDateStamp = pNt->FileHeader.TimeDateStamp;
}

bool containsPathSeparator(const char* szName)
{
    return std::strchr(szName, '\\') != nullptr || std::strchr(szName, '/') != nullptr;
}

// Load from the system directory under the loader lock, which the caller holds.
NvAPI_Status loadAndBindLocked(HMODULE* phModule)
{
    HMODULE hModule = loadSystemLibrary(kNvapiName, 0);
    if (hModule == nullptr) {
        // No driver library to be had: latched, later calls answer at once.
        g_nvLoader.loadFailed = 1;
        return NVAPI_LIBRARY_NOT_FOUND;
    }
    NvAPI_Status status = bindModule(hModule);
    if (status != NVAPI_OK) {
        // Give back what was loaded just now; the next call starts over.
        FreeLibrary(hModule);
        return status;
    }
    recordModuleIdentity(hModule);
    *phModule = hModule;
    return kNvStatusBoundNow;
}

}  // namespace

NvAPI_Status NvAPI_Initialize()
{
    HMODULE hModule = nullptr;
    NvAPI_Status status = acquireModule(&hModule);
    return status == kNvStatusBoundNow ? NVAPI_OK : status;
}

NvAPI_Status acquireModule(HMODULE* phModule)
{
    HMODULE hIgnored = nullptr;
    if (phModule == nullptr)
        phModule = &hIgnored;
    *phModule = nullptr;

    if (g_nvLoader.loadFailed)
        return NVAPI_LIBRARY_NOT_FOUND;

    // Unguarded on purpose: the first call comes from the entry point, before any other
    // thread could use the client.
    if (!g_nvLoader.loaderLockReady) {
        InitializeCriticalSection(&g_nvLoader.loaderLock);
        g_nvLoader.loaderLockReady = 1;
    }

    // GetModuleHandleA takes no reference: a module found here belongs to whoever loaded it.
    HMODULE hModule = GetModuleHandleA(kNvapiName);
    if (hModule == nullptr) {
        EnterCriticalSection(&g_nvLoader.loaderLock);
        // Another thread may have loaded it while this one waited for the lock.
        hModule = GetModuleHandleA(kNvapiName);
        if (hModule == nullptr) {
            NvAPI_Status status = loadAndBindLocked(phModule);
            LeaveCriticalSection(&g_nvLoader.loaderLock);
            return status;
        }
        LeaveCriticalSection(&g_nvLoader.loaderLock);
    }

    // The path of every call once bound: no lock, no allocation, no driver call.
    if (!moduleIdentityChanged(hModule)) {
        *phModule = hModule;
        return NVAPI_OK;
    }
    // Another image under the same name. A module that will not bind is left as it is:
    // no reference was taken on it, so there is nothing to give back.
    NvAPI_Status status = bindModule(hModule);
    if (status != NVAPI_OK)
        return status;
    recordModuleIdentity(hModule);
    *phModule = hModule;
    return kNvStatusBoundNow;
}

NvAPI_Status bindModule(HMODULE hModule)
{
    NvQueryInterfaceFn resolver =
        asEntry<NvQueryInterfaceFn>(GetProcAddress(hModule, kResolverExport));
    g_nvLoader.resolver = resolver;
    if (resolver == nullptr)
        return NVAPI_ERROR;

    NvInitializeFn driverInitialize = asEntry<NvInitializeFn>(resolver(kNvIdInitialize));
    // The driver initialises again at every binding, re-bindings included; anything but
    // exactly 0 leaves the library unusable.
    if (driverInitialize == nullptr || driverInitialize() != NVAPI_OK) {
        g_nvLoader.resolver = nullptr;
        return NVAPI_ERROR;
    }

    NvPreCallHookFn preCallHook = asEntry<NvPreCallHookFn>(resolver(kNvIdPreCallHook));
    NvPostCallHookFn postCallHook = asEntry<NvPostCallHookFn>(resolver(kNvIdPostCallHook));
    // The hooks bracket a call together; one without the other is never called.
    if (preCallHook == nullptr || postCallHook == nullptr) {
        preCallHook = nullptr;
        postCallHook = nullptr;
    }
    g_nvLoader.preCallHook = preCallHook;
    g_nvLoader.postCallHook = postCallHook;
    ++g_nvLoader.bindCount;
    return NVAPI_OK;
}

bool moduleIdentityChanged(HMODULE hModule)
{
    uint32_t checkSum = 0;
    uint32_t timeDateStamp = 0;
    readModuleIdentity(hModule, &checkSum, &timeDateStamp);

    // Linkers that write a checksum make it the identity; the time stamp only decides for
    // images without one. Before any module was seen, every module counts as changed: an
    // image whose two words are both 0 (no checksum, no time stamp, as reproducible builds
    // write it) would otherwise match the zero start value and never be bound, while the
    // caller is told that the library is ready.
    bool bChanged = !g_nvLoader.identityRecorded ||
                    (checkSum != 0 ? checkSum != g_nvLoader.moduleIdentity[0]
                                   : timeDateStamp != g_nvLoader.moduleIdentity[1]);
    if (bChanged) {
        // Recorded before any binding is tried, so a module that fails to bind is not
        // tried again until its image changes once more.
        g_nvLoader.moduleIdentity[0] = checkSum;
        g_nvLoader.moduleIdentity[1] = timeDateStamp;
        g_nvLoader.identityRecorded = 1;
    }
    return bChanged;
}

void recordModuleIdentity(HMODULE hModule)
{
    readModuleIdentity(hModule, &g_nvLoader.moduleIdentity[0], &g_nvLoader.moduleIdentity[1]);
    g_nvLoader.identityRecorded = 1;
}

HMODULE loadSystemLibrary(const char* szName, DWORD dwFlags)
{
    if (szName == nullptr) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }

    // One byte to one UTF-16 unit, no code page: the names loaded here are plain ASCII.
    const size_t cchName = std::strlen(szName);
    WCHAR* wszName = static_cast<WCHAR*>(LocalAlloc(LMEM_ZEROINIT, (cchName + 1) * sizeof(WCHAR)));
    if (wszName == nullptr)
        return nullptr;
    for (size_t i = 0; i < cchName; ++i)
        wszName[i] = static_cast<WCHAR>(static_cast<unsigned char>(szName[i]));

    SetLastError(ERROR_SUCCESS);
    // A bare file name only: a path would let the caller reach outside the system directory.
    if (containsPathSeparator(szName)) {
        LocalFree(wszName);
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }

    // Without the system directory there is no safe place to load from, so nothing is
    // loaded and the caller sees the library as absent.
    HMODULE hModule = nullptr;
    const UINT cchSysDir = GetSystemDirectoryW(nullptr, 0);  // terminator included
    WCHAR* wszPath = nullptr;
    if (cchSysDir != 0) {
        wszPath = static_cast<WCHAR*>(
            LocalAlloc(LMEM_ZEROINIT, (cchSysDir + cchName + 1) * sizeof(WCHAR)));
    }
    if (wszPath != nullptr) {
        const UINT cchDir = GetSystemDirectoryW(wszPath, cchSysDir);
        // 0 is a failure; a length that does not fit means the directory changed between
        // the two calls and the buffer holds nothing usable.
        if (cchDir != 0 && cchDir < cchSysDir) {
            size_t cch = cchDir;
            if (wszPath[cch - 1] != static_cast<WCHAR>('\\'))
                wszPath[cch++] = static_cast<WCHAR>('\\');
            for (size_t i = 0; i <= cchName; ++i)
                wszPath[cch + i] = wszName[i];
            hModule = LoadLibraryExW(wszPath, nullptr, dwFlags & ~kSearchPathFlags);
        }
        LocalFree(wszPath);
    }
    LocalFree(wszName);
    return hModule;
}
