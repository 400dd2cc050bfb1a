// The simulated machine behind HWAX.DLL: adapter register files, the ROM switch of each
// vendor, the register and BIOS windows, the slot mappings, the wake-up state and the log,
// together with the driver's 33 exports.
#include "hwaxsim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <chrono>
#endif

namespace hwaxsim {

const char* const kExportNames[33] = {
    "WriteI2CByte",         "WriteI2C",             "ReadI2CByte",         "ReadI2C",
    "DetectI2CDevice",      "FindVGAChip",          "DefinePort",          "DefineBaseAddr9X",
    "GetMapAddress",        "ReadMMIODword",        "WriteMMIODword",      "ReadMMIOWord",
    "WriteMMIOWord",        "ReadMMIOByte",         "WriteMMIOByte",       "IsAGP30",
    "IsPCIE",               "ReadBIOSMMIODword",    "ReadBIOSMMIOWord",    "ReadBIOSMMIOByte",
    "BusTypeAndDataRate",   "GetPcicfgAddr",        "GetVGAMMIOAddress",   "GetVGABIOSAddress",
    "GetDWORDVGAMMIOData",  "GetWORDVGAMMIOData",   "GetBYTEVGAMMIOData",  "WriteDWORDVGAMMIOData",
    "WriteWORDVGAMMIOData", "WriteBYTEVGAMMIOData", "GetDWORDVGABIOSData", "GetWORDVGABIOSData",
    "GetBYTEVGABIOSData",
};

namespace {

enum ExportId {
    eWriteI2CByte, eWriteI2C, eReadI2CByte, eReadI2C, eDetectI2CDevice, eFindVGAChip,
    eDefinePort, eDefineBaseAddr9X, eGetMapAddress, eReadMMIODword, eWriteMMIODword,
    eReadMMIOWord, eWriteMMIOWord, eReadMMIOByte, eWriteMMIOByte, eIsAGP30, eIsPCIE,
    eReadBIOSMMIODword, eReadBIOSMMIOWord, eReadBIOSMMIOByte, eBusTypeAndDataRate,
    eGetPcicfgAddr, eGetVGAMMIOAddress, eGetVGABIOSAddress, eGetDWORDVGAMMIOData,
    eGetWORDVGAMMIOData, eGetBYTEVGAMMIOData, eWriteDWORDVGAMMIOData, eWriteWORDVGAMMIOData,
    eWriteBYTEVGAMMIOData, eGetDWORDVGABIOSData, eGetWORDVGABIOSData, eGetBYTEVGABIOSData,
    eExportCount
};
static_assert(eExportCount == 33);

constexpr int kNotesPerExport = 64;  // a read loop on a bad slot must not flood the log
constexpr uint32_t kRecordTag = 0x58415748;  // "HWAX"

struct AdapterState {
    std::map<uint32_t, uint32_t> regs;
    bool bAsleep = false;
    int nRomIn = -1;  // the switch state, worked out again after a register write (-1)
};

struct Machine {
    Scenario scenario;
    std::vector<AdapterState> adapters;
    int slotsMmio[kSlots];
    int slotsBios[kSlots];
    std::vector<LogEntry> log;
    int counts[eExportCount] = {};
    std::map<std::string, int, std::less<>> otherCounts;
    std::map<std::string, int, std::less<>> notes;
    std::string logFile;
    std::string stateDir;
};

Machine& M() {
    static Machine m = [] {
        Machine fresh;
        std::fill(std::begin(fresh.slotsMmio), std::end(fresh.slotsMmio), -1);
        std::fill(std::begin(fresh.slotsBios), std::end(fresh.slotsBios), -1);
        return fresh;
    }();
    return m;
}

int64_t NowMicroseconds() {
#ifdef _WIN32
    LARGE_INTEGER count, freq;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&freq);
    return freq.QuadPart ? count.QuadPart * 1000000 / freq.QuadPart : 0;
#else
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
#endif
}

std::string Hex(uint32_t v, int width = 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, static_cast<unsigned>(v));
    return buf;
}

void Count(ExportId e) { ++M().counts[e]; }

void Note(ExportId e, const std::string& text) {
    int& n = M().notes[kExportNames[e]];
    if (++n > kNotesPerExport + 1) return;
    AddEntry("hwax", EntryKind::Note, kExportNames[e],
             n > kNotesPerExport ? "further notes suppressed" : text);
}

void Call(ExportId e, const std::string& text) {
    AddEntry("hwax", EntryKind::Call, kExportNames[e], text);
}

void Written(ExportId e, int32_t slot, uint32_t offset, uint32_t value) {
    LogEntry entry{EntryKind::Write, kExportNames[e], slot, offset, value, ""};
    M().log.push_back(entry);
    LogLine("hwax", std::string("write ") + kExportNames[e] + " slot=" + std::to_string(slot) +
                        " offset=" + Hex(offset) + " value=" + Hex(value, 8));
}

bool Valid(int i) { return i >= 0 && i < static_cast<int>(M().adapters.size()); }

uint32_t Reg(int i, uint32_t off) {
    const auto& r = M().adapters[i].regs;
    auto it = r.find(off);
    return it == r.end() ? 0 : it->second;
}

uint32_t PowerOn(int i, uint32_t off) {
    const auto& r = M().scenario.adapters[i].regs;
    auto it = r.find(off);
    return it == r.end() ? 0 : it->second;
}

bool RomSwitch(int i) {
    if (M().scenario.adapters[i].nVendorId == kVendorAti) {
        // The ROM shows while the five registers hold what the ROM-window open makes of their
        // power-on values; anything else (a wrong mask, a missed register) keeps it hidden.
        return Reg(i, 0x1C0) == ((PowerOn(i, 0x1C0) & 0x00FFFFFF) | 0x08000000) &&
               Reg(i, 0x1A0) == (PowerOn(i, 0x1A0) & 0x00380000) &&
               Reg(i, 0x198) == (PowerOn(i, 0x198) & 0x00380000) &&
               Reg(i, 0x19C) == (PowerOn(i, 0x19C) & 0x00380000) &&
               Reg(i, 0xC40) == (PowerOn(i, 0xC40) & 0xFFDFFFFF);
    }
    // NVIDIA: older chips enable the ROM by clearing 0x1850, newer ones by bit 0 of 0x50.
    uint32_t chip = Reg(i, 0xA00) & 0x1FF00000;
    if (chip < 0x0E000000) return Reg(i, 0x1850) == 0;
    return (Reg(i, 0x50) & 1) != 0;
}

// A byte scan reads the ROM once per byte; the switch only changes on a register write.
bool RomIn(int i) {
    int& cached = M().adapters[i].nRomIn;
    if (cached < 0) cached = RomSwitch(i) ? 1 : 0;
    return cached == 1;
}

bool InWindow(uint32_t off) {
    return (off >= kLowWindow && off < kLowWindow + kWindowSize) ||
           (off >= kHighWindow && off < kHighWindow + kWindowSize);
}

uint8_t RomByte(const AdapterConfig& c, uint32_t k) { return k < c.rom.size() ? c.rom[k] : 0xFF; }

uint8_t WindowByte(int i, uint32_t off, bool romIn) {
    const AdapterConfig& c = M().scenario.adapters[i];
    if (c.bRomLow && romIn && off >= kLowWindow + c.nLowPlacement && off < kLowWindow + kWindowSize)
        return RomByte(c, off - kLowWindow - c.nLowPlacement);
    if (c.bRomHigh && (romIn || !c.bHighGated) && off >= kHighWindow && off < kHighWindow + kWindowSize)
        return RomByte(c, off - kHighWindow);
    const auto& r = M().adapters[i].regs;
    auto it = r.find(off & ~3u);
    if (it != r.end()) return static_cast<uint8_t>(it->second >> (8 * (off & 3)));
    if (InWindow(off) || off >= kRegisterSpace) return 0xFF;
    return 0x00;
}

uint32_t Widen(uint32_t v, int width) {
    if (width == 4) return v;
    uint32_t mask = width == 2 ? 0xFFFF : 0xFF;
    return (M().scenario.dwHighBits & ~mask) | (v & mask);
}

uint32_t MmioRead(int i, uint32_t off, int width) {
    if (M().adapters[i].bAsleep) return kAllOnes;
    bool in = RomIn(i);
    uint32_t v = 0;
    for (int k = 0; k < width; ++k) v |= static_cast<uint32_t>(WindowByte(i, off + k, in)) << (8 * k);
    return Widen(v, width);
}

void MmioWrite(ExportId e, int i, uint32_t off, uint32_t value, int width) {
    if (M().adapters[i].bAsleep) {
        Note(e, "adapter " + std::to_string(i) + " asleep: write to " + Hex(off) + " dropped");
        return;
    }
    for (int k = 0; k < width; ++k) {
        uint32_t o = off + k;
        if (InWindow(o) || o >= kRegisterSpace) continue;
        M().adapters[i].nRomIn = -1;
        uint32_t& reg = M().adapters[i].regs[o & ~3u];
        uint32_t shift = 8 * (o & 3);
        reg = (reg & ~(0xFFu << shift)) | (((value >> (8 * k)) & 0xFF) << shift);
    }
}

uint32_t BiosRead(int i, uint32_t off, int width) {
    if (M().adapters[i].bAsleep) return kAllOnes;
    const AdapterConfig& c = M().scenario.adapters[i];
    bool readable = c.bBiosWindow && (c.nVendorId != kVendorAti || RomIn(i));
    uint32_t v = 0;
    for (int k = 0; k < width; ++k)
        v |= static_cast<uint32_t>(readable ? RomByte(c, off + k) : 0xFF) << (8 * k);
    return Widen(v, width);
}

int SlotAdapter(const int* table, ExportId e, int32_t slot, uint32_t off) {
    int i = slot >= 0 && slot < kSlots ? table[slot] : -1;
    if (!Valid(i)) {
        Note(e, "slot " + std::to_string(slot) + " not mapped (offset " + Hex(off) + ")");
        return -1;
    }
    return i;
}

int Default(ExportId e) {
    int i = DefaultAdapter();
    if (i < 0) Note(e, "no default adapter");
    return i;
}

VGA_CHIP Record(int i) {
    const AdapterConfig& c = M().scenario.adapters[i];
    VGA_CHIP r{};
    r.nBus = c.nBus;
    r.nDevice = c.nDevice;
    r.dwDriver0[0] = c.nVendorId | c.nDeviceId << 16;
    r.dwDriver0[1] = 0;  // function
    r.nSubVendorID = c.nSubVendorId;
    r.dwDriver1[0] = c.nSubDeviceId;
    std::memcpy(&r.dwDriver1[1], &c.cfg[0x10], 4);
    r.dwDriver1[1] &= ~0xFu;
    r.dwDriver1[2] = kRecordTag;
    return r;
}

int FindByLocation(uint32_t bus, uint32_t device) {
    const auto& list = M().scenario.adapters;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].nBus == bus && list[i].nDevice == device) return static_cast<int>(i);
    return -1;
}

// Both map calls: the adapter that the record names, checked against what FindVGAChip wrote.
int MapSlot(ExportId e, int* table, const VGA_CHIP* pChip, int32_t slot, const std::string& args) {
    if (!pChip) {
        Call(e, args + "record=null -> 0");
        Note(e, "null record");
        return -1;
    }
    std::string where = args + "bus=" + std::to_string(pChip->nBus) +
                        " device=" + std::to_string(pChip->nDevice) + " slot=" + std::to_string(slot);
    int i = FindByLocation(pChip->nBus, pChip->nDevice);
    if (i < 0 || slot < 0 || slot >= kSlots) {
        Call(e, where + " -> 0");
        Note(e, i < 0 ? "no adapter at that bus and device" : "slot out of range");
        return -1;
    }
    VGA_CHIP expected = Record(i);
    if (std::memcmp(&expected, pChip, sizeof expected) != 0)
        Note(e, "record of adapter " + std::to_string(i) + " differs from the one FindVGAChip wrote");
    table[slot] = i;
    Call(e, where + " -> adapter " + std::to_string(i));
    return i;
}

std::string MarkerPath() {
    const std::string& dir = M().stateDir;
    char last = dir.back();
    const char* sep = last == '/' || last == '\\' ? ""
                      : dir.find('\\') != std::string::npos ? "\\" : "/";
    return dir + sep + "awake";
}

bool WakeMarkerPresent() {
    if (M().stateDir.empty()) return false;
    FILE* f = std::fopen(MarkerPath().c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

}  // namespace

// ---- State --------------------------------------------------------------------------------

void Configure(const Scenario& scenario) {
    Machine& m = M();
    m.scenario = scenario;
    m.adapters.clear();
    for (const AdapterConfig& c : scenario.adapters) m.adapters.push_back({c.regs, c.bAsleep, -1});
    std::fill(std::begin(m.slotsMmio), std::end(m.slotsMmio), -1);
    std::fill(std::begin(m.slotsBios), std::end(m.slotsBios), -1);
    ClearLog();
}

const Scenario& CurrentScenario() { return M().scenario; }

int DefaultAdapter() {
    const Scenario& s = M().scenario;
    if (s.defaultAdapter) return Valid(*s.defaultAdapter) ? *s.defaultAdapter : -1;
    for (size_t i = 0; i < s.adapters.size(); ++i)
        if (s.adapters[i].nVendorId == kVendorAti) return static_cast<int>(i);
    return s.adapters.empty() ? -1 : 0;
}

uint32_t Register(int nAdapter, uint32_t nOffset) { return Valid(nAdapter) ? Reg(nAdapter, nOffset) : 0; }
bool RomSwitchedIn(int nAdapter) { return Valid(nAdapter) && RomIn(nAdapter); }
bool IsAsleep(int nAdapter) { return Valid(nAdapter) && M().adapters[nAdapter].bAsleep; }
int MmioSlotAdapter(int nSlot) { return nSlot >= 0 && nSlot < kSlots ? M().slotsMmio[nSlot] : -1; }
int BiosSlotAdapter(int nSlot) { return nSlot >= 0 && nSlot < kSlots ? M().slotsBios[nSlot] : -1; }

void MarkAwake() {
    for (AdapterState& a : M().adapters) a.bAsleep = false;
    if (!M().stateDir.empty()) {
        FILE* f = std::fopen(MarkerPath().c_str(), "wb");
        if (f) {
            std::fputs("awake\n", f);
            std::fclose(f);
        }
    }
}

void SetStateDir(const std::string& dir) { M().stateDir = dir; }

void RefreshWakeState(const char* source) {
    bool anyAsleep = false;
    for (const AdapterState& a : M().adapters) anyAsleep |= a.bAsleep;
    if (anyAsleep && WakeMarkerPresent()) {
        for (AdapterState& a : M().adapters) a.bAsleep = false;
        AddEntry(source, EntryKind::Call, "wake", "marker found: sleeping adapters awake");
    }
}

// ---- Log ----------------------------------------------------------------------------------

void AddEntry(const char* source, EntryKind kind, std::string_view exportName, std::string text) {
    LogEntry entry{kind, std::string(exportName), -1, 0, 0, std::move(text)};
    LogLine(source, std::string(kind == EntryKind::Note ? "note " : "call ") + entry.sExport + " " + entry.sText);
    M().log.push_back(std::move(entry));
}

void CountCall(std::string_view exportName) {
    for (int e = 0; e < eExportCount; ++e) {
        if (exportName == kExportNames[e]) {
            ++M().counts[e];
            return;
        }
    }
    auto it = M().otherCounts.find(exportName);
    if (it == M().otherCounts.end())
        M().otherCounts.emplace(std::string(exportName), 1);
    else
        ++it->second;
}

const std::vector<LogEntry>& Log() { return M().log; }

std::vector<LogEntry> Writes() {
    std::vector<LogEntry> out;
    for (const LogEntry& e : M().log)
        if (e.kind == EntryKind::Write) out.push_back(e);
    return out;
}

std::vector<LogEntry> Notes() {
    std::vector<LogEntry> out;
    for (const LogEntry& e : M().log)
        if (e.kind == EntryKind::Note) out.push_back(e);
    return out;
}

int CallCount(std::string_view exportName) {
    for (int e = 0; e < eExportCount; ++e)
        if (exportName == kExportNames[e]) return M().counts[e];
    auto it = M().otherCounts.find(exportName);
    return it == M().otherCounts.end() ? 0 : it->second;
}

void ClearLog() {
    Machine& m = M();
    m.log.clear();
    std::fill(std::begin(m.counts), std::end(m.counts), 0);
    m.otherCounts.clear();
    m.notes.clear();
}

void SetLogFile(const std::string& path) { M().logFile = path; }

void LogLine(const char* source, const std::string& line) {
    if (M().logFile.empty()) return;
    FILE* f = std::fopen(M().logFile.c_str(), "ab");
    if (!f) return;
    std::fprintf(f, "%lld %s %s\r\n", static_cast<long long>(NowMicroseconds()), source, line.c_str());
    std::fflush(f);
    std::fclose(f);
}

void LogCounts() {
    for (int e = 0; e < eExportCount; ++e)
        if (M().counts[e]) LogLine("hwax", std::string("count ") + kExportNames[e] + " " + std::to_string(M().counts[e]));
    for (const auto& [name, n] : M().otherCounts) LogLine("atipdl", "count " + name + " " + std::to_string(n));
}

}  // namespace hwaxsim

// ---- Exports ------------------------------------------------------------------------------

using namespace hwaxsim;

extern "C" {

int32_t __cdecl FindVGAChip(uint32_t nVendorId, VGA_CHIP* pChips, uint32_t cbSize) {
    Count(eFindVGAChip);
    RefreshWakeState();
    const auto& list = M().scenario.adapters;
    std::vector<int> found;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].nVendorId == nVendorId) found.push_back(static_cast<int>(i));
    size_t fit = pChips ? cbSize / sizeof(VGA_CHIP) : 0;
    size_t written = std::min(found.size(), fit);
    for (size_t j = 0; j < written; ++j) pChips[j] = Record(found[j]);
    auto forced = M().scenario.findResult.find(nVendorId);
    int32_t result = forced != M().scenario.findResult.end() ? forced->second
                                                             : static_cast<int32_t>(found.size());
    Call(eFindVGAChip, "vendor=" + Hex(nVendorId) + " size=" + std::to_string(cbSize) + " -> " +
                           std::to_string(result) + " written=" + std::to_string(written));
    if (!pChips) Note(eFindVGAChip, "null buffer");
    return result;
}

int32_t __cdecl GetVGAMMIOAddress(VGA_CHIP* pChip, int32_t nSlot) {
    Count(eGetVGAMMIOAddress);
    RefreshWakeState();
    int i = MapSlot(eGetVGAMMIOAddress, M().slotsMmio, pChip, nSlot, "");
    return i < 0 ? 0 : static_cast<int32_t>(Record(i).dwDriver1[1]);
}

int32_t __cdecl GetVGABIOSAddress(uint32_t nVendorId, VGA_CHIP* pChip, int32_t nSlot) {
    Count(eGetVGABIOSAddress);
    RefreshWakeState();
    const std::string args = "vendor=" + Hex(nVendorId) + " ";
    if (pChip) {
        int i = FindByLocation(pChip->nBus, pChip->nDevice);
        if (i >= 0 && M().scenario.adapters[i].nVendorId != nVendorId) {
            Call(eGetVGABIOSAddress, args + "bus=" + std::to_string(pChip->nBus) + " device=" +
                                         std::to_string(pChip->nDevice) + " slot=" +
                                         std::to_string(nSlot) + " -> 0");
            Note(eGetVGABIOSAddress, "vendor does not match adapter " + std::to_string(i));
            return 0;
        }
    }
    int i = MapSlot(eGetVGABIOSAddress, M().slotsBios, pChip, nSlot, args);
    return i < 0 ? 0 : static_cast<int32_t>(0x000C0000 + (i << 17));
}

int32_t __cdecl BusTypeAndDataRate(BUS_INFO* pBusInfo) {
    Count(eBusTypeAndDataRate);
    RefreshWakeState();
    Call(eBusTypeAndDataRate, pBusInfo ? "pairs=8" : "pairs=null");
    if (!pBusInfo) {
        Note(eBusTypeAndDataRate, "null buffer");
        return 0;
    }
    for (uint32_t i = 0; i < kMaxAdapters; ++i) pBusInfo[i] = {0xB0570000 + i, 0xDA7A0000 + i};
    return 1;
}

int32_t __cdecl GetPcicfgAddr(PCI_CFG_REQUEST* pRequest) {
    Count(eGetPcicfgAddr);
    RefreshWakeState();
    if (!pRequest) {
        Call(eGetPcicfgAddr, "request=null -> 0");
        Note(eGetPcicfgAddr, "null request");
        return 0;
    }
    const PCI_CFG_REQUEST& r = *pRequest;
    std::string args = "bus=" + std::to_string(r.nBus) + " device=" + std::to_string(r.nDevice) +
                       " function=" + std::to_string(r.nFunction) + " first=" + Hex(r.nFirstRegister) +
                       " dwords=" + std::to_string(r.nDwords);
    uint64_t end = static_cast<uint64_t>(r.nFirstRegister) + 4ull * r.nDwords;
    if (!r.pDest || r.nFirstRegister % 4 || end > 256) {
        Call(eGetPcicfgAddr, args + " -> 0");
        Note(eGetPcicfgAddr, !r.pDest ? "null destination"
                             : r.nFirstRegister % 4 ? "misaligned first register"
                                                    : "request beyond configuration byte 255");
        return 0;
    }
    int i = r.nFunction == 0 ? FindByLocation(r.nBus, r.nDevice) : -1;
    for (uint32_t k = 0; k < r.nDwords; ++k) {
        uint32_t v = kAllOnes;  // no device answers
        if (i >= 0) std::memcpy(&v, &M().scenario.adapters[i].cfg[r.nFirstRegister + 4 * k], 4);
        r.pDest[k] = v;
    }
    Call(eGetPcicfgAddr, args + (i >= 0 ? " -> adapter " + std::to_string(i) : " -> no device"));
    return 1;
}

uint32_t __cdecl GetDWORDVGAMMIOData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetDWORDVGAMMIOData);
    int i = SlotAdapter(M().slotsMmio, eGetDWORDVGAMMIOData, nSlot, nOffset);
    return i < 0 ? kAllOnes : MmioRead(i, nOffset, 4);
}

uint32_t __cdecl GetWORDVGAMMIOData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetWORDVGAMMIOData);
    int i = SlotAdapter(M().slotsMmio, eGetWORDVGAMMIOData, nSlot, nOffset);
    return i < 0 ? kAllOnes : MmioRead(i, nOffset, 2);
}

uint32_t __cdecl GetBYTEVGAMMIOData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetBYTEVGAMMIOData);
    int i = SlotAdapter(M().slotsMmio, eGetBYTEVGAMMIOData, nSlot, nOffset);
    return i < 0 ? kAllOnes : MmioRead(i, nOffset, 1);
}

static int32_t SlotWrite(ExportId e, uint32_t nOffset, uint32_t dwValue, int32_t nSlot, int width) {
    Count(e);
    Written(e, nSlot, nOffset, dwValue);
    int i = SlotAdapter(M().slotsMmio, e, nSlot, nOffset);
    if (i < 0) return 0;
    MmioWrite(e, i, nOffset, dwValue, width);
    return 1;
}

int32_t __cdecl WriteDWORDVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot) {
    return SlotWrite(eWriteDWORDVGAMMIOData, nOffset, dwValue, nSlot, 4);
}

int32_t __cdecl WriteWORDVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot) {
    return SlotWrite(eWriteWORDVGAMMIOData, nOffset, dwValue, nSlot, 2);
}

int32_t __cdecl WriteBYTEVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot) {
    return SlotWrite(eWriteBYTEVGAMMIOData, nOffset, dwValue, nSlot, 1);
}

uint32_t __cdecl ReadMMIODword(uint32_t nOffset) {
    Count(eReadMMIODword);
    int i = Default(eReadMMIODword);
    return i < 0 ? kAllOnes : MmioRead(i, nOffset, 4);
}

int32_t __cdecl WriteMMIODword(MMIO_WRITE_REQUEST* pRequest) {
    Count(eWriteMMIODword);
    if (!pRequest) {
        Note(eWriteMMIODword, "null request");
        return 0;
    }
    Written(eWriteMMIODword, -1, pRequest->dwOffset, pRequest->dwValue);
    int i = Default(eWriteMMIODword);
    if (i < 0) return 0;
    MmioWrite(eWriteMMIODword, i, pRequest->dwOffset, pRequest->dwValue, 4);
    return 1;
}

uint32_t __cdecl ReadBIOSMMIODword(uint32_t nOffset) {
    Count(eReadBIOSMMIODword);
    int i = Default(eReadBIOSMMIODword);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 4);
}

uint32_t __cdecl ReadBIOSMMIOWord(uint32_t nOffset) {
    Count(eReadBIOSMMIOWord);
    int i = Default(eReadBIOSMMIOWord);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 2);
}

uint32_t __cdecl ReadBIOSMMIOByte(uint32_t nOffset) {
    Count(eReadBIOSMMIOByte);
    int i = Default(eReadBIOSMMIOByte);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 1);
}

uint32_t __cdecl GetDWORDVGABIOSData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetDWORDVGABIOSData);
    int i = SlotAdapter(M().slotsBios, eGetDWORDVGABIOSData, nSlot, nOffset);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 4);
}

uint32_t __cdecl GetWORDVGABIOSData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetWORDVGABIOSData);
    int i = SlotAdapter(M().slotsBios, eGetWORDVGABIOSData, nSlot, nOffset);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 2);
}

uint32_t __cdecl GetBYTEVGABIOSData(uint32_t nOffset, int32_t nSlot) {
    Count(eGetBYTEVGABIOSData);
    int i = SlotAdapter(M().slotsBios, eGetBYTEVGABIOSData, nSlot, nOffset);
    return i < 0 ? kAllOnes : BiosRead(i, nOffset, 1);
}

#define HWAXSIM_IDLE_EXPORT(name) \
    int32_t __cdecl name(void) {  \
        Count(e##name);           \
        return 0;                 \
    }
HWAXSIM_IDLE_EXPORT(WriteI2CByte)
HWAXSIM_IDLE_EXPORT(WriteI2C)
HWAXSIM_IDLE_EXPORT(ReadI2CByte)
HWAXSIM_IDLE_EXPORT(ReadI2C)
HWAXSIM_IDLE_EXPORT(DetectI2CDevice)
HWAXSIM_IDLE_EXPORT(DefinePort)
HWAXSIM_IDLE_EXPORT(DefineBaseAddr9X)
HWAXSIM_IDLE_EXPORT(GetMapAddress)
HWAXSIM_IDLE_EXPORT(ReadMMIOWord)
HWAXSIM_IDLE_EXPORT(WriteMMIOWord)
HWAXSIM_IDLE_EXPORT(ReadMMIOByte)
HWAXSIM_IDLE_EXPORT(WriteMMIOByte)
HWAXSIM_IDLE_EXPORT(IsAGP30)
HWAXSIM_IDLE_EXPORT(IsPCIE)
#undef HWAXSIM_IDLE_EXPORT

}  // extern "C"
