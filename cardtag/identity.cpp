// VBIOS identity extraction: the model name and the PPID that the board maker writes into
// the video BIOS image.
//
// ATI boards carry them at a fixed offset behind a "PP" marker, in the lower 64 KiB of the
// image or, on larger images, just below 128 KiB; other boards carry them behind a "PPID"
// marker anywhere in the image, found by a scan.
#include "vgainfo.h"

namespace {

constexpr uint32_t kRomSignature = 0xAA55;
constexpr uint32_t kLayoutMarker = 0x5050;  // "PP"
constexpr uint32_t kLowerLayoutBase = 0xFF00;
constexpr uint32_t kUpperLayoutBase = 0x1FFC0;
constexpr uint32_t kLayoutTextStart = 4;  // the texts follow the marker and two unused bytes

// Marker scan: "PPID" may start anywhere from offset 3 up to the last offset at which the
// image the ROM window shows still holds it. The BIOS window reaches 64 KiB only.
constexpr int kScanFirst = 3;
constexpr int kScanLastBiosWindow = 0xFFFE;
constexpr int kScanLastRegisterWindow = 0x3FFFB;

constexpr char kTextSeparator = '#';
constexpr char kMarkerPPIDEnd = '.';

// One adapter's ROM as an extraction reads it. The adapter-0 extraction reads the fixed
// layouts through the driver's default BIOS window; the per-adapter one through the
// adapter's own BIOS window. The marker scan always reads through the ROM window.
class CRomReader {
public:
    CRomReader(CVGAInfo& info, int nAdapter, bool bPerAdapter)
        : m_info(info), m_nAdapter(nAdapter), m_bPerAdapter(bPerAdapter) {}

    uint32_t Word(uint32_t nOffset) const {
        uint32_t dw = m_bPerAdapter ? m_info.m_Entry.GetWORDVGABIOSData(nOffset, m_nAdapter)
                                    : m_info.m_Entry.ReadBIOSMMIOWord(nOffset);
        return dw & 0xFFFF;
    }
    uint8_t Byte(uint32_t nOffset) const {
        uint32_t dw = m_bPerAdapter ? m_info.m_Entry.GetBYTEVGABIOSData(nOffset, m_nAdapter)
                                    : m_info.m_Entry.ReadBIOSMMIOByte(nOffset);
        return static_cast<uint8_t>(dw);
    }
    uint8_t ScanByte(int nOffset) const {
        return static_cast<uint8_t>(m_info.ReadRomByte(nOffset, m_nAdapter));
    }

private:
    CVGAInfo& m_info;
    int m_nAdapter;
    bool m_bPerAdapter;
};

// Copies the model name that starts at nStart into szModel: the bytes before the first '#'
// among the next 60, or all 60 when there is none. Returns whether a '#' ends it, looking
// one byte further for a name of the full 60 characters.
template <class ReadByte>
bool CopyModelName(ReadByte readByte, uint32_t nStart, char* szModel, uint32_t& nSeparator) {
    int n = 0;
    while (n < kIdentityTextMax) {
        uint8_t c = readByte(nStart + n);
        if (c == kTextSeparator)
            break;
        szModel[n++] = static_cast<char>(c);
    }
    szModel[n] = '\0';
    nSeparator = nStart + n;
    return n < kIdentityTextMax || readByte(nSeparator) == kTextSeparator;
}

// Copies the PPID that starts at nStart into szPPID: the bytes before the first one that
// ends it, at most 60.
template <class ReadByte, class IsEnd>
void CopyPPID(ReadByte readByte, uint32_t nStart, IsEnd isEnd, char* szPPID) {
    int n = 0;
    while (n < kIdentityTextMax) {
        uint8_t c = readByte(nStart + n);
        if (isEnd(c))
            break;
        szPPID[n++] = static_cast<char>(c);
    }
    szPPID[n] = '\0';
}

// Fixed-offset layouts (ATI). The PPID line ends in CR LF; a PPID is cut at the first CR or
// LF, so a line that ends in a lone CR or LF never carries a control character into the
// text, and a line without either is cut at 60 characters.
int SearchFixedLayouts(CVGAInfo& info, const CRomReader& rom, bool bPerAdapter,
                       CString& strPPID) {
    if (bPerAdapter)
        rom.Byte(0);  // the first read through the adapter's BIOS window is discarded

    if (rom.Word(0) != kRomSignature)
        return 0;

    uint32_t nBase = kLowerLayoutBase;
    if (rom.Word(kLowerLayoutBase) != kLayoutMarker) {
        // A ROM that answered only through the driver's BIOS window is searched for the
        // lower layout only.
        if (g_bBiosMMIO)
            return 1;
        if (rom.Word(kUpperLayoutBase) != kLayoutMarker)
            return 1;
        nBase = kUpperLayoutBase;
    }

    auto readByte = [&rom](uint32_t nOffset) { return rom.Byte(nOffset); };
    BIOS_INFO& texts = info.m_BINFO;
    uint32_t nSeparator = 0;
    if (CopyModelName(readByte, nBase + kLayoutTextStart, texts.szBIOSModelName, nSeparator)) {
        auto isLineEnd = [](uint8_t c) { return c == '\r' || c == '\n'; };
        CopyPPID(readByte, nSeparator + 1, isLineEnd, texts.szBIOSPPID);
    }
    strPPID = texts.szBIOSPPID;
    return 1;
}

// "PPID" marker layout. The scan runs over the whole range and every match rewrites the
// texts, so the last match decides; a match without its '#' keeps the PPID found before.
void ScanForMarker(CVGAInfo& info, const CRomReader& rom, bool bDebugBoxes, int nLast) {
    if (bDebugBoxes)
        MessageBoxA(nullptr, "NV  for   start", "65535", MB_OK);

    auto readByte = [&rom](uint32_t nOffset) { return rom.ScanByte(static_cast<int>(nOffset)); };
    BIOS_INFO& texts = info.m_BINFO;
    for (int p = kScanFirst; p <= nLast; ++p) {
        if (rom.ScanByte(p) != 'P' || rom.ScanByte(p + 1) != 'P' || rom.ScanByte(p + 2) != 'I' ||
            rom.ScanByte(p + 3) != 'D')
            continue;

        if (bDebugBoxes)
            MessageBoxA(nullptr, "m_BINFO.szBIOSPPID", "m_BINFO.szBIOSPPID", MB_OK);

        uint32_t nSeparator = 0;
        if (CopyModelName(readByte, static_cast<uint32_t>(p) + 4, texts.szBIOSModelName,
                          nSeparator)) {
            auto isPeriod = [](uint8_t c) { return c == kMarkerPPIDEnd; };
            CopyPPID(readByte, nSeparator + 1, isPeriod, texts.szBIOSPPID);
        }

        if (bDebugBoxes)
            MessageBoxA(nullptr, "m_BINFO.szBIOSModelName", "m_BINFO.szBIOSModelName", MB_OK);
    }
}

// The frame both extractions share. Without a driver that serves every call the library
// makes, nothing is read and the texts stay empty.
int ExtractIdentity(CVGAInfo& info, CString& strPPID, int nAdapter, bool bPerAdapter) {
    BIOS_INFO& texts = info.m_BINFO;
    if (!info.HasRequiredEntries() || nAdapter < 0 || nAdapter >= kMaxAdapters) {
        texts.szBIOSModelName[0] = '\0';
        texts.szBIOSPPID[0] = '\0';
        return 0;
    }

    info.OpenRomWindow();
    if (bPerAdapter)
        MessageBoxA(nullptr, "MultiGetVGAPPID", "functions", MB_OK);
    texts.szBIOSModelName[0] = '\0';
    texts.szBIOSPPID[0] = '\0';

    CRomReader rom(info, nAdapter, bPerAdapter);
    int nResult = 1;
    if (g_nVendorId == kVendorAti) {
        nResult = SearchFixedLayouts(info, rom, bPerAdapter, strPPID);
    } else {
        int nLast = g_bBiosMMIO ? kScanLastBiosWindow : kScanLastRegisterWindow;
        ScanForMarker(info, rom, bPerAdapter && g_bBiosMMIO, nLast);
    }

    info.RestoreRomWindow();
    return nResult;
}

}  // namespace

int CVGAInfo::GetVGAPPID(CString& strPPID) {
    return ExtractIdentity(*this, strPPID, 0, false);
}

int CVGAInfo::MultiGetVGAPPID(CString& strPPID, int nAdapter) {
    return ExtractIdentity(*this, strPPID, nAdapter, true);
}
