// Identity extraction through the exports, against the simulated access driver.
//
// The input builds a machine of one to four adapters of one vendor (NVIDIA: the "PPID" marker
// scan; ATI: the two fixed-offset layouts), chooses where each adapter's ROM answers, the
// BIOS-window flag, the shared ROM offset, the ROM bytes (up to 256 KiB plus the reach of the
// upper layout) and a few export calls. After every call:
//   - both texts are NUL-terminated within their 61 bytes and at most 60 characters long;
//   - both equal what the layout rules give for the bytes that the hardware shows at the
//     positions the extraction reads (worked out here from the ROM image, the window it is
//     read through and the rules; the library is not asked);
//   - the export returns null or the address of the text it names, as the vendor gate says;
//   - the ROM window is closed again: the NVIDIA adapters' ROMs are switched out, the five ATI
//     registers hold what they held before the call;
//   - only the ROM-window registers are written, and nothing of the library's object but the
//     two texts changes;
//   - the per-adapter extraction shows exactly its debug boxes.
// Reads and writes outside a buffer are AddressSanitizer's to find.
#include "cardtag_support.h"
#include "hwaxsim.h"

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace {

constexpr uint32_t kRomSizes[4] = {0x10000, 0x20000, 0x40000, 0x40400};
constexpr uint32_t kNvBootNewChip = 0x0E4000A1;  // chip field 0xE4: ROM enabled by bit 0 of 0x50
constexpr uint32_t kNvBootOldChip = 0x04A000A1;  // chip field 0x4A: ROM enabled by 0 in 0x1850
// Where ROM patches land: the layout bases, the ends of the scan range, and anywhere.
constexpr uint32_t kPatchBases[8] = {0, 0xFF00, 0x1FFC0, 0xFFF0, 0x3FFF0, 0x200, 0x8000, 0};
constexpr uint32_t kAtiRegs[5] = {0x1C0, 0x19C, 0x1A0, 0x198, 0xC40};

enum class Window { Low, HighGated, HighShadow, None };

struct AdapterPlan {
    Window window;
    bool bBoard;
    bool bBiosWindow;
};

struct Machine {
    uint32_t nVendor;
    bool bBiosMMIO;
    bool bDriver;
    int nAdapters;
    int nDefault;  // the driver's default adapter
    uint32_t nPlacement;
    int32_t nOffset;
    std::vector<AdapterPlan> adapters;
};

// ---- The oracle: the layout rules over the bytes the hardware shows ---------------------------

using View = std::function<uint8_t(uint32_t)>;

struct Texts {
    std::string sModel;
    std::string sPPID;
    int nMatches = 0;
};

// The bytes as a C string: whatever follows a NUL byte is not part of the text.
std::string AsCString(const std::string& bytes) { return std::string(bytes.c_str()); }

// Model name from nStart up to a '#' among the next 60 bytes (all 60 without one); then, when
// the byte at the '#' position is one, the PPID up to its end byte, at most 60. Returns
// whether a PPID was taken.
bool ReadTexts(const View& v, uint32_t nStart, bool (*isEnd)(uint8_t), std::string& sModel,
               std::string& sPPID) {
    sModel.clear();
    uint32_t nSeparator = nStart + 60;
    for (uint32_t j = 0; j < 60; ++j) {
        uint8_t c = v(nStart + j);
        if (c == '#') {
            nSeparator = nStart + j;
            break;
        }
        sModel += static_cast<char>(c);
    }
    if (v(nSeparator) != '#')
        return false;
    sPPID.clear();
    for (uint32_t j = 0; j < 60; ++j) {
        uint8_t c = v(nSeparator + 1 + j);
        if (isEnd(c))
            break;
        sPPID += static_cast<char>(c);
    }
    return true;
}

Texts FixedLayouts(const View& v, bool bBiosMMIO) {
    Texts t;
    auto word = [&v](uint32_t k) { return v(k) | v(k + 1) << 8; };
    if (word(0) != 0xAA55)
        return t;
    uint32_t nBase;
    if (word(0xFF00) == 0x5050)
        nBase = 0xFF00;
    else if (!bBiosMMIO && word(0x1FFC0) == 0x5050)
        nBase = 0x1FFC0;
    else
        return t;
    // The PPID line ends in CR LF; a lone CR or LF ends it as well.
    ReadTexts(v, nBase + 4, [](uint8_t c) { return c == '\r' || c == '\n'; }, t.sModel, t.sPPID);
    t.sModel = AsCString(t.sModel);
    t.sPPID = AsCString(t.sPPID);
    return t;
}

Texts MarkerScan(const View& view, uint32_t nLast) {
    // The bytes the scan can reach: the candidates, the marker, model name, '#' and PPID.
    std::vector<uint8_t> bytes(nLast + 4 + 60 + 1 + 60 + 1);
    for (uint32_t k = 0; k < bytes.size(); ++k)
        bytes[k] = view(k);
    auto v = [&bytes](uint32_t k) { return bytes[k]; };
    Texts t;
    for (uint32_t p = 3; p <= nLast; ++p) {
        if (v(p) != 'P' || v(p + 1) != 'P' || v(p + 2) != 'I' || v(p + 3) != 'D')
            continue;
        ++t.nMatches;
        // Every match rewrites the model name; the PPID only when the match has its '#'.
        std::string sPPID = t.sPPID;
        ReadTexts(view, p + 4, [](uint8_t c) { return c == '.'; }, t.sModel, sPPID);
        t.sPPID = sPPID;
    }
    t.sModel = AsCString(t.sModel);
    t.sPPID = AsCString(t.sPPID);
    return t;
}

uint8_t RomByte(int nAdapter, uint32_t k) {
    const std::vector<uint8_t>& rom = hwaxsim::CurrentScenario().adapters[nAdapter].rom;
    return k < rom.size() ? rom[k] : 0xFF;
}

// What the marker scan of adapter a reads at ROM offset k: the register window at k plus the
// shared offset, in the window whose flag the adapter has, with the ROM switched in.
View RegisterView(const Machine& m, int a) {
    return [&m, a](uint32_t k) -> uint8_t {
        if (a < 0 || a >= m.nAdapters)
            return 0xFF;  // no adapter mapped there: the driver answers all ones
        uint32_t nAddress = k + static_cast<uint32_t>(m.nOffset);
        switch (m.adapters[a].window) {
        case Window::Low:
            return nAddress >= m.nPlacement ? RomByte(a, nAddress - m.nPlacement) : 0xFF;
        case Window::HighGated:
        case Window::HighShadow:
            return RomByte(a, nAddress);
        case Window::None:
            break;
        }
        // Plain register space: zeros and the few chip registers, none of whose bytes is a
        // letter of "PPID", so no marker can be found there.
        return 0x00;
    };
}

// What the fixed-layout search of adapter a reads: its BIOS window, which on ATI shows the ROM
// only while it is switched in; the window open switches the driver's default adapter only.
View BiosView(const Machine& m, int a, const std::vector<bool>& romInBefore) {
    return [&m, a, &romInBefore](uint32_t k) -> uint8_t {
        if (a < 0 || a >= m.nAdapters || !m.adapters[a].bBiosWindow)
            return 0xFF;
        if (a != m.nDefault && !romInBefore[a])
            return 0xFF;
        return RomByte(a, k);
    };
}

// ---- The machine ---------------------------------------------------------------------------

Machine Build(fuzz::Input& in) {
    Machine m;
    uint8_t b = in.U8();
    m.nVendor = (b & 1) ? kVendorAti : kVendorNvidia;
    // Three inputs in four take the BIOS-window flag: the full marker scan without it reads a
    // quarter of a million bytes through the driver and would slow the search down.
    m.bBiosMMIO = (b >> 1 & 3) != 0;
    m.nAdapters = 1 + (b >> 3 & 3);
    m.bDriver = (b >> 5) != 7;
    b = in.U8();
    m.nPlacement = (b & 7) % 5 * 0x200;
    m.nOffset = static_cast<int32_t>((b >> 3 & 7) % 5 * 0x200);
    bool bDefaultOverride = b >> 6 & 1;
    uint32_t nDefaultChoice = in.Pick(m.nAdapters);
    uint8_t nHigh = in.U8();

    hwaxsim::Scenario s;
    s.dwHighBits = static_cast<uint32_t>(nHigh) * 0x01010100u;
    if (bDefaultOverride)
        s.defaultAdapter = static_cast<int>(nDefaultChoice);
    for (int i = 0; i < m.nAdapters; ++i) {
        hwaxsim::AdapterConfig a = m.nVendor == kVendorAti
                                       ? hwaxsim::AtiAdapter(static_cast<uint32_t>(i + 1))
                                       : hwaxsim::NvidiaAdapter(static_cast<uint32_t>(i + 1));
        b = in.U8();
        AdapterPlan plan{static_cast<Window>(b & 3), !(b >> 2 & 1), !(b >> 5 & 1)};
        if (m.nVendor == kVendorAti)
            plan.window = Window::Low;  // ATI ROMs are read through the BIOS window only
        bool bOldChip = b >> 3 & 1;
        bool bEnabledAtPowerOn = b >> 4 & 1;
        a.nSubVendorId = plan.bBoard ? CARDTAG_BOARD_VENDOR_ID : CARDTAG_BOARD_VENDOR_ID ^ 0x0101;
        a.bBiosWindow = plan.bBiosWindow;
        a.bRomLow = plan.window == Window::Low;
        a.nLowPlacement = m.nPlacement;
        a.bRomHigh = plan.window == Window::HighGated || plan.window == Window::HighShadow;
        a.bHighGated = plan.window != Window::HighShadow;
        if (m.nVendor == kVendorNvidia) {
            a.regs[0xA00] = bOldChip ? kNvBootOldChip : kNvBootNewChip;
            a.regs[0x50] = !bOldChip && bEnabledAtPowerOn ? 1 : 0;
            a.regs[0x1850] = bOldChip && bEnabledAtPowerOn ? 0 : 1;
        }
        a.rom.assign(kRomSizes[b >> 6], in.U8());
        uint8_t nRomFlags = in.U8();
        if (nRomFlags & 1) {
            a.rom[0] = 0x55;
            a.rom[1] = 0xAA;
        }
        if (m.nVendor == kVendorAti && (nRomFlags & 2)) {
            for (uint32_t reg : kAtiRegs)
                a.regs[reg] = in.U32();
        }
        s.adapters.push_back(a);
        m.adapters.push_back(plan);
    }
    // Without a choice the driver takes its first adapter of the vendor: adapter 0 here.
    m.nDefault = bDefaultOverride ? static_cast<int>(nDefaultChoice) : 0;
    hwaxsim::Configure(s);
    return m;
}

void PatchRoms(fuzz::Input& in, const Machine& m) {
    hwaxsim::Scenario s = hwaxsim::CurrentScenario();
    for (int nPatch = 0; nPatch < 64 && in.Left() > 0; ++nPatch) {
        uint8_t h = in.U8();
        std::vector<uint8_t>& rom = s.adapters[(h & 3) % m.nAdapters].rom;
        uint32_t nBase = kPatchBases[h >> 5];
        if ((h >> 5) == 7)
            nBase = (in.U16() | static_cast<uint32_t>(in.U8()) << 16) % rom.size();
        int32_t nDelta = static_cast<int8_t>(in.U8());
        std::string bytes = in.Bytes(in.U8() % 128);
        int64_t nAt = static_cast<int64_t>(nBase) + nDelta;
        if (nAt < 0)
            nAt = 0;
        for (size_t j = 0; j < bytes.size() && nAt + static_cast<int64_t>(j) < static_cast<int64_t>(rom.size()); ++j)
            rom[static_cast<size_t>(nAt) + j] = static_cast<uint8_t>(bytes[j]);
    }
    hwaxsim::Configure(s);
}

// Binds the simulated driver and puts the adapters into the table and the driver's slots as
// discovery leaves them, with the ROM placement that the machine says.
void Bind(const Machine& m) {
    if (!m.bDriver)
        return;
    hwaxsim::Install();
    FUZZ_CHECK(g_VGAInfo.CPortIO::Init() == 1, "the access driver beside the host does not bind");
    HWAX_ENTRIES& e = g_VGAInfo.m_Entry;
    g_nVendorId = m.nVendor;
    g_VGAInfo.m_nVGACount = e.FindVGAChip(m.nVendor, g_VGAInfo.m_VGAChip, sizeof(g_VGAInfo.m_VGAChip));
    for (int i = 0; i < g_VGAInfo.m_nVGACount; ++i) {
        e.GetVGAMMIOAddress(&g_VGAInfo.m_VGAChip[i], i);
        e.GetVGABIOSAddress(m.nVendor, &g_VGAInfo.m_VGAChip[i], i);
        g_VGAInfo.m_bBiosLow[i] = m.adapters[i].window == Window::Low;
        g_VGAInfo.m_bBiosHigh[i] =
            m.adapters[i].window == Window::HighGated || m.adapters[i].window == Window::HighShadow;
    }
    g_VGAInfo.m_nBIOSOffset = m.nOffset;
    g_bBiosMMIO = m.bBiosMMIO;
    hwaxsim::ClearLog();
}

struct BoxSeen {
    std::string sText;
    std::string sCaption;
};

std::vector<BoxSeen> BoxesSince(size_t nFrom) {
    std::vector<BoxSeen> out;
    const std::vector<winstub::Event>& trace = winstub::Trace();
    for (size_t i = nFrom; i < trace.size(); ++i) {
        const winstub::Event& e = trace[i];
        if (e.kind == winstub::EventKind::MessageBox) {
            FUZZ_CHECK(e.a == MB_OK && e.b == 0, "box \"%s\" is not a plain MB_OK box without owner",
                       e.text.c_str());
            out.push_back({e.text, e.caption});
        }
    }
    return out;
}

int TotalDriverCalls() {
    int n = 0;
    for (const char* name : hwaxsim::kExportNames)
        n += hwaxsim::CallCount(name);
    return n;
}

std::vector<uint8_t> ObjectBytes() {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&g_VGAInfo);
    return std::vector<uint8_t>(p, p + sizeof(g_VGAInfo));
}

void CheckCall(const Machine& m, const fuzz::ExportCall& call) {
    BIOS_INFO& texts = g_VGAInfo.m_BINFO;
    const std::string sModelBefore = texts.szBIOSModelName;
    const std::string sPPIDBefore = texts.szBIOSPPID;
    std::vector<bool> romInBefore;
    std::array<uint32_t, 5> atiBefore{};
    for (int i = 0; i < m.nAdapters; ++i)
        romInBefore.push_back(hwaxsim::RomSwitchedIn(i));
    for (int r = 0; r < 5; ++r)
        atiBefore[r] = hwaxsim::Register(m.nDefault, kAtiRegs[r]);
    const std::vector<uint8_t> objectBefore = ObjectBytes();
    const size_t nTrace = winstub::Trace().size();
    const size_t nWrites = hwaxsim::Writes().size();
    const int nCalls = TotalDriverCalls();

    if (call.kind == fuzz::TextKind::Count) {
        int nBoard = 0;
        if (m.bDriver) {
            for (const AdapterPlan& a : m.adapters)
                nBoard += a.bBoard;
        }
        int nGot = GetTELOVGACard();
        FUZZ_CHECK(nGot == nBoard, "GetTELOVGACard: %d, want %d", nGot, nBoard);
        FUZZ_CHECK(TotalDriverCalls() == nCalls, "GetTELOVGACard called the access driver");
        return;
    }

    const char* pText = fuzz::CallText(call);
    const int n = call.nAdapter;
    const bool bInTable = n >= 0 && n < kMaxAdapters;

    // The texts: terminated and short enough, whatever happened.
    FUZZ_CHECK(fuzz::Terminated(texts.szBIOSModelName) && fuzz::Terminated(texts.szBIOSPPID),
               "%s(%d): a text is not NUL-terminated within 61 bytes", call.szName, n);

    // What the texts must be.
    Texts want;
    std::vector<BoxSeen> wantBoxes;
    if (!bInTable) {
        want.sModel = sModelBefore;  // nothing runs for an index outside the table
        want.sPPID = sPPIDBefore;
    } else if (m.bDriver) {
        if (call.bPerAdapter)
            wantBoxes.push_back({"MultiGetVGAPPID", "functions"});
        if (m.nVendor == kVendorAti) {
            // The adapter-0 extraction reads the driver's default adapter's BIOS window.
            int nRead = call.bPerAdapter ? n : m.nDefault;
            want = FixedLayouts(BiosView(m, nRead, romInBefore), m.bBiosMMIO);
        } else {
            bool bDebug = call.bPerAdapter && m.bBiosMMIO;
            want = MarkerScan(RegisterView(m, n), m.bBiosMMIO ? 0xFFFE : 0x3FFFB);
            if (bDebug) {
                wantBoxes.push_back({"NV  for   start", "65535"});
                for (int i = 0; i < want.nMatches; ++i) {
                    wantBoxes.push_back({"m_BINFO.szBIOSPPID", "m_BINFO.szBIOSPPID"});
                    wantBoxes.push_back({"m_BINFO.szBIOSModelName", "m_BINFO.szBIOSModelName"});
                }
            }
        }
    }
    if (std::getenv("FUZZ_SHOW"))
        std::fprintf(stderr, "%s(%d): model \"%s\" PPID \"%s\", want \"%s\" / \"%s\", returned %p\n",
                     call.szName, n, texts.szBIOSModelName, texts.szBIOSPPID, want.sModel.c_str(),
                     want.sPPID.c_str(), static_cast<const void*>(pText));
    FUZZ_CHECK(std::strlen(texts.szBIOSModelName) <= kIdentityTextMax &&
                   std::strlen(texts.szBIOSPPID) <= kIdentityTextMax,
               "%s(%d): a text is longer than 60 characters", call.szName, n);
    FUZZ_CHECK(want.sModel == texts.szBIOSModelName, "%s(%d): model name \"%s\", want \"%s\"",
               call.szName, n, texts.szBIOSModelName, want.sModel.c_str());
    FUZZ_CHECK(want.sPPID == texts.szBIOSPPID, "%s(%d): PPID \"%s\", want \"%s\"", call.szName, n,
               texts.szBIOSPPID, want.sPPID.c_str());

    // The gate: the record of the adapter the export is for.
    bool bPasses = m.bDriver && bInTable && n < m.nAdapters && m.adapters[n].bBoard;
    const char* pWant = !bPasses ? nullptr
                        : call.kind == fuzz::TextKind::PPID ? texts.szBIOSPPID
                                                             : texts.szBIOSModelName;
    FUZZ_CHECK(pText == pWant, "%s(%d): returned %p, want %p", call.szName, n,
               static_cast<const void*>(pText), static_cast<const void*>(pWant));

    std::vector<BoxSeen> boxes = BoxesSince(nTrace);
    FUZZ_CHECK(boxes.size() == wantBoxes.size(), "%s(%d): %zu boxes, want %zu", call.szName, n,
               boxes.size(), wantBoxes.size());
    for (size_t i = 0; i < boxes.size(); ++i)
        FUZZ_CHECK(boxes[i].sText == wantBoxes[i].sText && boxes[i].sCaption == wantBoxes[i].sCaption,
                   "%s(%d): box %zu is \"%s\"/\"%s\", want \"%s\"/\"%s\"", call.szName, n, i,
                   boxes[i].sText.c_str(), boxes[i].sCaption.c_str(), wantBoxes[i].sText.c_str(),
                   wantBoxes[i].sCaption.c_str());

    if (!bInTable || !m.bDriver) {
        FUZZ_CHECK(TotalDriverCalls() == nCalls, "%s(%d): the access driver was called",
                   call.szName, n);
    }

    // The window is closed again, and nothing but the window registers was written.
    if (m.nVendor == kVendorAti) {
        for (int r = 0; r < 5; ++r) {
            uint32_t v = hwaxsim::Register(m.nDefault, kAtiRegs[r]);
            FUZZ_CHECK(v == atiBefore[r], "%s(%d): ATI register 0x%X is 0x%08X after the call, was 0x%08X",
                       call.szName, n, kAtiRegs[r], v, atiBefore[r]);
        }
    } else if (bInTable && m.bDriver) {
        for (int i = 0; i < m.nAdapters; ++i)
            FUZZ_CHECK(!hwaxsim::RomSwitchedIn(i), "%s(%d): the ROM of adapter %d is left switched in",
                       call.szName, n, i);
    }
    std::vector<hwaxsim::LogEntry> writes = hwaxsim::Writes();
    for (size_t i = nWrites; i < writes.size(); ++i) {
        const hwaxsim::LogEntry& w = writes[i];
        bool bWindowRegister =
            w.sExport == "WriteMMIODword"
                ? m.nVendor == kVendorAti &&
                      std::find(std::begin(kAtiRegs), std::end(kAtiRegs), w.nOffset) != std::end(kAtiRegs)
                : w.sExport == "WriteDWORDVGAMMIOData" && m.nVendor == kVendorNvidia &&
                      (w.nOffset == 0x50 || w.nOffset == 0x1850) && w.nSlot >= 0 && w.nSlot < m.nAdapters;
        FUZZ_CHECK(bWindowRegister, "%s(%d): write %s slot %d offset 0x%X value 0x%X", call.szName, n,
                   w.sExport.c_str(), w.nSlot, w.nOffset, w.dwValue);
    }

    const std::vector<uint8_t> objectAfter = ObjectBytes();
    const size_t nTextsAt = reinterpret_cast<const uint8_t*>(&texts) -
                            reinterpret_cast<const uint8_t*>(&g_VGAInfo);
    for (size_t i = 0; i < objectAfter.size(); ++i) {
        if (i >= nTextsAt && i < nTextsAt + sizeof(BIOS_INFO))
            continue;
        FUZZ_CHECK(objectAfter[i] == objectBefore[i],
                   "%s(%d): byte %zu of the library object changed outside the texts", call.szName, n, i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::Input in(pData, nSize);
    winstub::Reset();
    fuzz::ResetCardtagLibrary();
    Machine m = Build(in);

    std::vector<fuzz::ExportCall> calls;
    int nCalls = 1 + static_cast<int>(in.Pick(2));
    for (int i = 0; i < nCalls; ++i) {
        uint32_t nChoice = in.U8();
        int nIndex = static_cast<int>(in.Pick(12)) - 2;
        calls.push_back(fuzz::ChooseExport(nChoice, nIndex));
    }
    PatchRoms(in, m);
    Bind(m);

    for (const fuzz::ExportCall& call : calls)
        CheckCall(m, call);
    fuzz::ResetCardtagLibrary();
    fuzz::EndRun();
    hwaxsim::Configure(hwaxsim::Scenario{});
    return 0;
}
