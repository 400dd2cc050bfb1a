// Adapter discovery: CVGAInfo::Init builds the adapter table once, while the host's load call
// runs. It finds the NVIDIA or else the ATI adapters through the access driver, puts first the
// adapter that the vendor's own software counts first, wakes a sleeping second ATI adapter,
// records each adapter's bus link and finds where each adapter's video ROM can be read.

#include "discovery.h"

#include <cstring>

#include "vgainfo.h"

BOOL g_bBiosMMIO;

namespace {

template <typename T>
T EntryAs(FARPROC pfn) {
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(pfn));
}

template <typename T>
T EntryAs(void* pfn) {
    return reinterpret_cast<T>(pfn);
}

constexpr uint32_t kPciCfgDwords = 64;
constexpr uint8_t kCapPointerOffset = 0x34;
constexpr uint8_t kCapIdPciExpress = 0x10;
constexpr uint8_t kCapIdAgp = 0x02;
constexpr int kMaxCapabilityHops = 11;

constexpr uint32_t kRomSignature = 0xAA55;
constexpr uint32_t kRomHighWindow = 0x700000;
constexpr uint32_t kRomLowWindow = 0x300000;
constexpr int kRomLowProbes = 5;
constexpr int32_t kRomLowStep = 0x200;

// Only the part of DISPLAY_DEVICEA up to StateFlags is asked for.
constexpr DWORD kDisplayDeviceSize = 168;
static_assert(offsetof(DISPLAY_DEVICEA, DeviceID) == kDisplayDeviceSize);
static_assert(offsetof(DISPLAY_DEVICEA, StateFlags) == 164);
constexpr DWORD kPrimaryDisplayFlags =
    DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE;

static_assert(sizeof(STARTUPINFOA) == 68);
constexpr int kCommandLineSize = 32;

constexpr char kSystemNvApi[] = "\\nvapi.dll";
constexpr char kSystemAtiPdl[] = "\\atipdlxx.dll";

// Loads a library by full path from the Windows system directory; null when the path does
// not fit.
HMODULE LoadSystemLibrary(const char* szBackslashName) {
    char szPath[MAX_PATH];
    UINT cchDir = GetSystemDirectoryA(szPath, sizeof(szPath));
    if (cchDir == 0 || cchDir + strlen(szBackslashName) + 1 > sizeof(szPath))
        return nullptr;
    memcpy(szPath + cchDir, szBackslashName, strlen(szBackslashName) + 1);
    return LoadLibraryA(szPath);
}

bool HasRomSignature(uint32_t dwValue) {
    return (dwValue & 0xFFFF) == kRomSignature;
}

// Puts first the adapter whose bus number is nKey. Only the first and the last record are
// compared: the table is either kept or reversed as a whole, never rotated or sorted.
void OrderByKey(VGA_CHIP* pChips, int nCount, uint32_t nKey) {
    VGA_CHIP copy[kMaxAdapters];
    memcpy(copy, pChips, nCount * sizeof(VGA_CHIP));
    if (nKey == copy[0].nBus || nKey != copy[nCount - 1].nBus)
        return;
    for (int j = 0; j < nCount; ++j)
        pChips[j] = copy[nCount - 1 - j];
}

// Index of the primary display device: the first whose state is exactly attached and
// primary. No match, or no EnumDisplayDevicesA, leaves g_nPrimaryDisplay as it was.
void FindPrimaryDisplay() {
    HMODULE hUser = LoadLibraryA("USER32");
    g_pfnEnumDisplayDevicesA =
        hUser ? EntryAs<PFN_EnumDisplayDevicesA>(GetProcAddress(hUser, "EnumDisplayDevicesA"))
              : nullptr;
    if (g_pfnEnumDisplayDevicesA == nullptr)
        return;
    DISPLAY_DEVICEA device;
    memset(&device, 0, sizeof(device));
    device.cb = kDisplayDeviceSize;
    for (DWORD nIndex = 0; g_pfnEnumDisplayDevicesA(nullptr, nIndex, &device, 0); ++nIndex) {
        if (device.StateFlags == kPrimaryDisplayFlags) {
            g_nPrimaryDisplay = static_cast<int32_t>(nIndex);
            return;
        }
        memset(&device, 0, sizeof(device));
        device.cb = kDisplayDeviceSize;
    }
}

void BindAtiPdl() {
    g_hAtiPdl = LoadSystemLibrary(kSystemAtiPdl);
    if (g_hAtiPdl == nullptr)
        return;
    g_pfnAtiEnumPhysicalAdapters = EntryAs<PFN_ATIDL_EnumPhysicalAdapters>(
        GetProcAddress(g_hAtiPdl, "ATIDL_EnumPhysicalAdapters"));
    g_pfnAtiGetPMCurrentActivity = EntryAs<PFN_ATIDL_GetPMCurrentActivity>(
        GetProcAddress(g_hAtiPdl, "ATIDL_GetPMCurrentActivity"));
}

bool GetNvidiaKeyBus(uint32_t* pnKey) {
    if (BindNvApi() != NVAPI_OK)
        return false;
    *pnKey = 0xFFFFFFFF;
    auto pfnEnum =
        EntryAs<NvEnumPhysicalGPUsFn>(g_NvApiEntries[kNvApiEnumPhysicalGPUsEntry].pfnEntry);
    auto pfnBusId = EntryAs<NvGpuGetBusIdFn>(g_NvApiEntries[kNvApiGpuGetBusIdEntry].pfnEntry);
    return pfnEnum(g_hNvApiGpu, &g_nNvApiGpuCount) == NVAPI_OK &&
           pfnBusId(g_hNvApiGpu[0], pnKey) == NVAPI_OK;
}

bool GetAtiKeyBus(uint32_t* pnKey) {
    FindPrimaryDisplay();
    BindAtiPdl();
    if (g_pfnAtiEnumPhysicalAdapters == nullptr)
        return false;
    g_AtiAdapter.dwSize = sizeof(ATI_ADAPTER_RECORD);
    if (g_pfnAtiEnumPhysicalAdapters(g_nPrimaryDisplay, 0, &g_AtiAdapter) != 0)
        return false;
    *pnKey = g_AtiAdapter.nBus;
    return true;
}

// Starts the wake-up program for at most kWakeUpWaitMs; false when it could not be started.
bool RunWakeUpProgram() {
    // The program is taken by full path from the host executable's folder and passed as the
    // application name, so no search path is consulted. The command line names the same path,
    // quoted, as the program's first argument. It is formatted into the 32-byte buffer when it
    // fits there and into a buffer sized for the longest path otherwise; the length is checked
    // before wsprintfA writes, so neither buffer can overflow.
    char szApplication[MAX_PATH];
    if (!BuildHostFolderPath(szApplication, sizeof(szApplication), kWakeUpProgram))
        return false;
    char szShortCommandLine[kCommandLineSize];
    char szLongCommandLine[sizeof(szApplication) + 2];  // the path, two quotes and the NUL
    size_t cchCommandLine = strlen(szApplication) + 2;
    char* pszCommandLine =
        cchCommandLine < sizeof(szShortCommandLine) ? szShortCommandLine : szLongCommandLine;
    wsprintfA(pszCommandLine, "\"%s\"", szApplication);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_FORCEONFEEDBACK;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    if (!CreateProcessA(szApplication, pszCommandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    // The adapter is awake once the program has run for a moment; it is not left running.
    WaitForSingleObject(process.hProcess, kWakeUpWaitMs);
    TerminateProcess(process.hProcess, 0);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

// Reads adapter i's configuration space and derives its bus link from the capability list.
void ReadBusLink(CVGAInfo& info, int i) {
    info.m_PciCfgReq.nBus = info.m_VGAChip[i].nBus;
    info.m_PciCfgReq.nDevice = info.m_VGAChip[i].nDevice;
    info.m_PciCfgReq.nFunction = 0;
    info.m_PciCfgReq.nFirstRegister = 0;
    info.m_PciCfgReq.nDwords = kPciCfgDwords;
    info.m_PciCfgReq.pDest = info.m_PciCfgBuf;
    if (!info.m_bSkipPciCfg)
        info.m_Entry.GetPcicfgAddr(&info.m_PciCfgReq);

    // Byte k of the block is configuration byte k.
    uint8_t* pCfg = info.m_PciCfg[i];
    static_assert(sizeof(CVGAInfo::m_PciCfg[0]) == kPciCfgDwords * 4);
    for (uint32_t k = 0; k < kPciCfgDwords; ++k) {
        for (uint32_t j = 0; j < 4; ++j)
            pCfg[4 * k + j] = static_cast<uint8_t>(info.m_PciCfgBuf[k] >> (8 * j));
    }

    // Walk the capability list for PCI Express or AGP. A pointer or a register that would lie
    // beyond the 256 bytes read counts as no capability.
    constexpr uint32_t kCfgSize = sizeof(CVGAInfo::m_PciCfg[0]);
    uint32_t p = pCfg[kCapPointerOffset];
    bool bInRange = true;
    for (int nHops = 0; pCfg[p] != kCapIdPciExpress && pCfg[p] != kCapIdAgp;) {
        if (p + 1 >= kCfgSize) {
            bInRange = false;
            break;
        }
        p = pCfg[p + 1];
        if (++nHops == kMaxCapabilityHops)
            break;
    }
    uint8_t nCapId = bInRange ? pCfg[p] : 0;
    if (nCapId == kCapIdPciExpress && p + 0x13 >= kCfgSize)
        nCapId = 0;
    if (nCapId == kCapIdAgp && p + 8 >= kCfgSize)
        nCapId = 0;

    BUS_INFO& bus = info.m_BusInfo[i];
    if (nCapId == kCapIdPciExpress) {
        // Link Status: width in bits 4-9, current speed in bits 0-3; Link Capabilities: the
        // maximum speed in bits 0-3. Only the 2.5 and 5 GT/s codes are taken.
        uint8_t nLinkStatusLo = pCfg[p + 0x12];
        uint8_t nLinkStatusHi = pCfg[p + 0x13];
        bus.nBusType = 4;
        bus.nDataRate = ((nLinkStatusHi & 0x03u) << 4) + (nLinkStatusLo >> 4);
        uint32_t nMaxSpeed = pCfg[p + 0x0C] & 7u;
        if (nMaxSpeed == 1 || nMaxSpeed == 2)
            info.m_nLinkSpeedMax[i] = nMaxSpeed;
        uint32_t nSpeed = nLinkStatusLo & 7u;
        if (nSpeed == 1 || nSpeed == 2)
            info.m_nLinkSpeed[i] = nSpeed;
    } else if (nCapId == kCapIdAgp) {
        uint8_t nStatus = pCfg[p + 4];
        uint8_t nCommand = pCfg[p + 8];
        if (nStatus & 1) {
            // AGP 3.0 mode: the command's rate code means 4x or 8x.
            uint32_t nRate = nCommand & 7u;
            bus.nBusType = 2;
            bus.nDataRate = nRate == 1 ? 4 : nRate == 2 ? 8 : 0;
        } else {
            uint32_t nRate = nStatus & 7u;
            bus.nBusType = 1;
            bus.nDataRate = (nRate == 1 || nRate == 2 || nRate == 4) ? nRate : 0;
        }
    } else {
        bus.nBusType = 0;
        bus.nDataRate = 0;
        info.m_nLinkSpeedMax[i] = 0;
        info.m_nLinkSpeed[i] = 0;
    }
}

// Finds where adapter i's ROM image answers and sets its placement flags.
void ProbeRom(CVGAInfo& info, int i) {
    auto probe = [&info, i](uint32_t nAddress) {
        return HasRomSignature(info.m_Entry.GetDWORDVGAMMIOData(nAddress, i));
    };

    info.OpenRomWindow();
    if (g_nVendorId == kVendorNvidia) {
        if (probe(kRomHighWindow)) {
            info.RestoreRomWindow();
            info.m_bBiosHigh[i] = TRUE;
        } else {
            // Some boards place the image a few 512-byte steps into the low window. The offset
            // found is kept for the following adapters.
            for (int n = 0; n < kRomLowProbes; ++n) {
                if (probe(kRomLowWindow + info.m_nBIOSOffset))
                    break;
                info.m_nBIOSOffset += kRomLowStep;
            }
        }
    }
    if (probe(kRomLowWindow + info.m_nBIOSOffset)) {
        info.RestoreRomWindow();
        info.m_bBiosLow[i] = TRUE;
    } else if (HasRomSignature(info.m_Entry.ReadBIOSMMIOWord(0))) {
        // Only the driver's BIOS window shows the image.
        g_bBiosMMIO = TRUE;
        info.m_bBiosLow[i] = FALSE;
        info.RestoreRomWindow();
    } else {
        info.RestoreRomWindow();
    }
}

}  // namespace

// Until BindNvApi resolves them, the driver API entries answer with the default status.
NvAPI_Status __cdecl NvApiDefaultEnumPhysicalGPUs(NvPhysicalGpuHandle*, uint32_t*) {
    return g_nNvApiDefaultStatus;
}

NvAPI_Status __cdecl NvApiDefaultGpuGetBusId(NvPhysicalGpuHandle, uint32_t*) {
    return g_nNvApiDefaultStatus;
}

NV_API_ENTRY g_NvApiEntries[kNvApiEntryCount] = {
    {reinterpret_cast<void*>(&NvApiDefaultEnumPhysicalGPUs), kNvIdEnumPhysicalGPUs},
    {reinterpret_cast<void*>(&NvApiDefaultGpuGetBusId), kNvIdGpuGetBusId},
    {nullptr, 0},
};
NvAPI_Status g_nNvApiStatus;
NvAPI_Status g_nNvApiDefaultStatus = -4;
NvPhysicalGpuHandle g_hNvApiGpu[NVAPI_MAX_PHYSICAL_GPUS];
uint32_t g_nNvApiGpuCount;

PFN_EnumDisplayDevicesA g_pfnEnumDisplayDevicesA;
int32_t g_nPrimaryDisplay;
HMODULE g_hAtiPdl;
PFN_ATIDL_EnumPhysicalAdapters g_pfnAtiEnumPhysicalAdapters;
PFN_ATIDL_GetPMCurrentActivity g_pfnAtiGetPMCurrentActivity;
ATI_ADAPTER_RECORD g_AtiAdapter;

NvAPI_Status BindNvApi() {
    // The host runs elevated: take the module the process already has (the program binds it
    // first), else the system directory's copy, never one found on the search path.
    HMODULE hNvApi = GetModuleHandleA("nvapi.dll");
    if (hNvApi == nullptr)
        hNvApi = LoadSystemLibrary(kSystemNvApi);
    if (hNvApi == nullptr) {
        g_nNvApiStatus = NVAPI_LIBRARY_NOT_FOUND;
        return g_nNvApiStatus;
    }
    auto pfnQuery = EntryAs<NvQueryInterfaceFn>(GetProcAddress(hNvApi, "nvapi_QueryInterface"));
    NvInitializeFn pfnInit =
        pfnQuery ? reinterpret_cast<NvInitializeFn>(pfnQuery(kNvIdInitialize)) : nullptr;
    if (pfnInit == nullptr || pfnInit() < 0) {
        g_nNvApiStatus = NVAPI_ERROR;
        return g_nNvApiStatus;
    }
    g_nNvApiStatus = NVAPI_OK;
    g_nNvApiDefaultStatus = NVAPI_NO_IMPLEMENTATION;
    for (NV_API_ENTRY* pEntry = g_NvApiEntries; pEntry->nId != 0; ++pEntry) {
        if (void* pfn = pfnQuery(pEntry->nId))
            pEntry->pfnEntry = pfn;
    }
    return NVAPI_OK;
}

int CVGAInfo::Init() {
    if (!CPortIO::Init())
        return 0;
    // A driver that lacks an entry point the library calls is treated like one that did not
    // load: nothing is found and nothing is ever called through a null entry.
    if (!HasRequiredEntries())
        return 0;

    memset(m_bBiosLow, 0, sizeof(m_bBiosLow));
    memset(m_bBiosHigh, 0, sizeof(m_bBiosHigh));

    // The driver fills at most 8 records of the 256-byte buffer; a larger count is not trusted.
    auto findAdapters = [this](uint32_t nVendor) {
        int32_t nFound = m_Entry.FindVGAChip(nVendor, m_VGAChip, sizeof(m_VGAChip));
        m_nVGACount = nFound > kMaxAdapters ? kMaxAdapters : nFound;
    };
    static_assert(sizeof(m_VGAChip) == 256);
    g_nVendorId = kVendorNvidia;
    findAdapters(kVendorNvidia);
    if (m_nVGACount < 1) {
        findAdapters(kVendorAti);
        g_nVendorId = kVendorAti;
    }

    if (m_nVGACount >= 2) {
        uint32_t nKey = 0;
        bool bHaveKey = false;
        if (g_nVendorId == kVendorNvidia)
            bHaveKey = GetNvidiaKeyBus(&nKey);
        else if (g_nVendorId == kVendorAti)
            bHaveKey = GetAtiKeyBus(&nKey);
        if (bHaveKey)
            OrderByKey(m_VGAChip, m_nVGACount, nKey);
    }

    // A second ATI adapter in its ultra-low-power state does not answer until woken. The
    // activity entry is only bound above, on ATI systems with two or more adapters.
    if (m_nVGACount >= 2 && g_nVendorId == kVendorAti && g_pfnAtiGetPMCurrentActivity) {
        ATI_ACTIVITY_RECORD activity;
        memset(&activity, 0, sizeof(activity));
        activity.dwSize = sizeof(activity);
        ATI_ACTIVITY_QUERY query = {m_VGAChip[1].nBus, m_VGAChip[1].nDevice, 0};
        if (g_pfnAtiGetPMCurrentActivity(g_nPrimaryDisplay, &activity, &query) == 0 &&
            activity.nActivity == 0) {
            if (!RunWakeUpProgram()) {
                MessageBoxA(nullptr, "ULPS Mode Enable", "TELO VGA PPID", MB_OK);
                m_nVGACount = 1;
            }
        }
    }

    for (int i = 0; i < m_nVGACount; ++i) {
        m_Entry.GetVGAMMIOAddress(&m_VGAChip[i], i);
        m_Entry.GetVGABIOSAddress(g_nVendorId, &m_VGAChip[i], i);
    }

    m_Entry.BusTypeAndDataRate(m_BusInfo);

    for (int i = 0; i < m_nVGACount; ++i)
        ReadBusLink(*this, i);

    for (int i = 0; i < m_nVGACount; ++i)
        ProbeRom(*this, i);
    return m_nVGACount;
}
