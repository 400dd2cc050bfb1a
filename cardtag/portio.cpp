// CPortIO: binding of the access driver HWAX.DLL, which ships beside the host executable.

#include "portio.h"

#include <cstring>

uint32_t g_nVendorId;

namespace {

constexpr char kDriverFileName[] = "HWAX.DLL";
constexpr DWORD kHostPathSize = 256;

// Where each export lands in the entry-point table, in the order the binding looks them up.
struct ENTRY_SLOT {
    const char* szName;
    size_t nOffset;
};

#define HWAX_SLOT(name) \
    { #name, offsetof(HWAX_ENTRIES, name) }
constexpr ENTRY_SLOT kEntrySlots[33] = {
    HWAX_SLOT(DefinePort),
    HWAX_SLOT(FindVGAChip),
    HWAX_SLOT(GetMapAddress),
    HWAX_SLOT(WriteI2CByte),
    HWAX_SLOT(WriteI2C),
    HWAX_SLOT(ReadI2CByte),
    HWAX_SLOT(ReadI2C),
    HWAX_SLOT(DetectI2CDevice),
    HWAX_SLOT(ReadMMIODword),
    HWAX_SLOT(WriteMMIODword),
    HWAX_SLOT(ReadMMIOWord),
    HWAX_SLOT(WriteMMIOWord),
    HWAX_SLOT(ReadMMIOByte),
    HWAX_SLOT(WriteMMIOByte),
    HWAX_SLOT(IsAGP30),
    HWAX_SLOT(IsPCIE),
    HWAX_SLOT(DefineBaseAddr9X),
    HWAX_SLOT(ReadBIOSMMIODword),
    HWAX_SLOT(ReadBIOSMMIOWord),
    HWAX_SLOT(ReadBIOSMMIOByte),
    HWAX_SLOT(BusTypeAndDataRate),
    HWAX_SLOT(GetPcicfgAddr),
    HWAX_SLOT(GetVGAMMIOAddress),
    HWAX_SLOT(GetVGABIOSAddress),
    HWAX_SLOT(GetDWORDVGAMMIOData),
    HWAX_SLOT(GetWORDVGAMMIOData),
    HWAX_SLOT(GetBYTEVGAMMIOData),
    HWAX_SLOT(WriteDWORDVGAMMIOData),
    HWAX_SLOT(WriteWORDVGAMMIOData),
    HWAX_SLOT(WriteBYTEVGAMMIOData),
    HWAX_SLOT(GetDWORDVGABIOSData),
    HWAX_SLOT(GetWORDVGABIOSData),
    HWAX_SLOT(GetBYTEVGABIOSData),
};
#undef HWAX_SLOT

constexpr bool SameText(const char* a, const char* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr bool SlotsFollowLookupOrder() {
    for (int i = 0; i < 33; ++i) {
        if (!SameText(kEntrySlots[i].szName, kHwaxLookupOrder[i]))
            return false;
    }
    return true;
}
static_assert(SlotsFollowLookupOrder(), "slot table and lookup order disagree");

typedef BOOL(WINAPI* PFN_IsWow64Process)(HANDLE hProcess, PBOOL pbWow64);

}  // namespace

BOOL BuildHostFolderPath(char* szPath, DWORD cchPath, const char* szFileName) {
    if (cchPath == 0)
        return FALSE;
    // A null module handle gives the host executable, not this library: the driver and the
    // wake-up program ship beside the program that loads us.
    DWORD cchHost = GetModuleFileNameA(nullptr, szPath, cchPath);
    // A result that fills the buffer is a truncated path (older systems do not even end it).
    if (cchHost == 0 || cchHost >= cchPath) {
        szPath[0] = '\0';
        return FALSE;
    }
    szPath[cchHost] = '\0';
    char* pSlash = strrchr(szPath, '\\');
    size_t cchName = strlen(szFileName);
    // Folder, backslash, name and the terminating NUL must all fit.
    if (pSlash == nullptr || static_cast<size_t>(pSlash - szPath) + 1 + cchName + 1 > cchPath) {
        szPath[0] = '\0';
        return FALSE;
    }
    memcpy(pSlash + 1, szFileName, cchName + 1);
    return TRUE;
}

int CPortIO::Init() {
    auto pfnIsWow64Process = reinterpret_cast<PFN_IsWow64Process>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process")));
    m_bIsWow64 = FALSE;
    m_bSkipPciCfg = FALSE;
    if (pfnIsWow64Process)
        pfnIsWow64Process(GetCurrentProcess(), &m_bIsWow64);

    if (m_hDriver) {
        FreeLibrary(m_hDriver);
        // The old entry points lead into the module just released.
        memset(&m_Entry, 0, sizeof(m_Entry));
    }

    // Only the copy beside the host executable is taken: the program runs elevated, and a
    // HWAX.DLL in the current directory or beside this library must never be picked up.
    char szPath[kHostPathSize];
    if (!BuildHostFolderPath(szPath, sizeof(szPath), kDriverFileName)) {
        m_hDriver = nullptr;
        return 0;
    }
    m_hDriver = LoadLibraryA(szPath);
    if (m_hDriver == nullptr || m_hDriver == reinterpret_cast<HMODULE>(INVALID_HANDLE_VALUE))
        return 0;

    // Missing exports stay null; HasRequiredEntries tells whether the library can use it.
    for (const ENTRY_SLOT& slot : kEntrySlots) {
        FARPROC pfn = GetProcAddress(m_hDriver, slot.szName);
        memcpy(reinterpret_cast<char*>(&m_Entry) + slot.nOffset, &pfn, sizeof(pfn));
    }
    return 1;
}

bool CPortIO::HasRequiredEntries() const {
    return m_Entry.FindVGAChip && m_Entry.GetVGAMMIOAddress && m_Entry.GetVGABIOSAddress &&
           m_Entry.BusTypeAndDataRate && m_Entry.GetPcicfgAddr && m_Entry.GetDWORDVGAMMIOData &&
           m_Entry.GetBYTEVGAMMIOData && m_Entry.WriteDWORDVGAMMIOData && m_Entry.ReadMMIODword &&
           m_Entry.WriteMMIODword && m_Entry.ReadBIOSMMIOWord && m_Entry.ReadBIOSMMIOByte &&
           m_Entry.GetWORDVGABIOSData && m_Entry.GetBYTEVGABIOSData;
}

CPortIO::~CPortIO() {
    if (m_hDriver)
        FreeLibrary(m_hDriver);
    m_nBIOSOffset = 0;
}
