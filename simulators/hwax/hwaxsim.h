// Simulated access driver HWAX.DLL: a machine with up to 8 (or, to test clamps, more) NVIDIA
// and ATI graphics adapters, each with PCI configuration space, a register file, a video ROM
// and the switch that puts the ROM into the register window; plus the shared state that the
// simulated ATI PowerPlay library (atipdlsim.h) and the wake-up program loadspin.exe work on.
//
// The same source serves two builds:
//   - native: the static library `hwaxsim`; tests configure it with Configure(), register it
//     with the Win32 stand-in with Install() and read its log in process;
//   - Windows: HWAX.DLL (33 undecorated cdecl exports). At DLL_PROCESS_ATTACH it reads the
//     scenario file named by HWAXSIM_SCENARIO (none: an empty machine), appends its log as
//     text lines to the file named by HWAXSIM_LOG, and shares the wake-up state through files
//     in the folder named by HWAXSIM_STATE.
//
// SCENARIO FORMAT (one format for both builds; ParseScenario / FormatScenario)
//   One `key = value` per line; blanks around key and value are ignored; '#' starts a comment
//   (outside a quoted text); empty lines are ignored. Keys apply in file order. Numbers are
//   decimal or 0x-hex, optionally negative; booleans are 0/1 (also true/false, yes/no).
//   An unknown key or a bad value fails the whole parse with a message naming the line.
//
//   Adapters (N = 0, 1, ...; contiguous, in enumeration order of the driver):
//     adapter.N.vendor = 0x10DE | 0x1002   picks the vendor defaults below; read before
//                                          every other key of that adapter, wherever it stands
//     adapter.N.device_id / subvendor / subdevice = n   identity (also read first); the
//                                          default configuration space carries them
//     adapter.N.bus = n          adapter.N.device = n       PCI location (function is 0)
//     adapter.N.reg.clear = 1    empties the register file
//     adapter.N.reg.OFF = v      32-bit register at byte offset OFF (power-on value)
//     adapter.N.cfg.fill = b     every configuration byte = b
//     adapter.N.cfg.bytes.OFF = hex bytes   ("10 00 02 00" or "10000200") from byte OFF
//     adapter.N.rom.size = n     resize the ROM image (new bytes 0x00)
//     adapter.N.rom.fill = b     every ROM byte = b
//     adapter.N.rom.file = path  ROM image = the file's bytes (relative to the scenario file)
//     adapter.N.rom.bytes.OFF = hex bytes   (must lie inside the image)
//     adapter.N.rom.text.OFF = "text"       characters; escapes \r \n \t \\ \" \xHH
//     adapter.N.rom_low = bool          ROM answers in the register window at 0x300000 + placement
//     adapter.N.rom_low.placement = n   (0, 0x200, 0x400, ...)
//     adapter.N.rom_high = bool         ROM answers in the register window at 0x700000
//     adapter.N.rom_high.gated = bool   0: the high window answers whether or not the ROM
//                                       is switched in (a shadow copy)
//     adapter.N.bios_window = bool      ROM answers through the BIOS window operations
//     adapter.N.asleep = bool           (ATI) in its ultra-low-power state until woken
//   Driver:
//     hwax.load_fails = bool            DllMain answers FALSE: loading HWAX.DLL fails
//     hwax.find_result.VENDOR = n       FindVGAChip(VENDOR) returns n (records written as usual,
//                                       never past the caller's buffer)
//     hwax.default_adapter = n          adapter for the operations without a slot
//                                       (default: the first ATI adapter, else adapter 0)
//     hwax.high_bits = v                unused upper bits of byte and word results (default 0)
//   ATI PowerPlay library:
//     atipdl.load_fails = bool
//     ati.first_bus = n                 bus that ATIDL_EnumPhysicalAdapters reports as first
//                                       (default: the bus of the first ATI adapter)
//     ati.display = n                   the only display index accepted (default: any)
//     ati.enum_result = n               forced result of ATIDL_EnumPhysicalAdapters (0: normal)
//     ati.activity_result = n           forced result of ATIDL_GetPMCurrentActivity (0: normal)
//     ati.awake_activity = n            activity word reported for an awake adapter (default 27)
//   Wake-up program:
//     loadspin.run_ms = n               runs this long, then ends by itself (default 200)
//     loadspin.hangs = bool             never ends by itself
//     loadspin.wakes = bool             marks the sleeping adapters awake (default 1)
//
// DEFAULTS
//   NVIDIA adapter: device ID 0x1180, subsystem vendor CARDTAG_BOARD_VENDOR_ID, subsystem
//     device 0x0A01; registers 0xA00 = 0x0E4000A1 (chip field 0xE4: ROM switched in while
//     bit 0 of 0x50 is set), 0x50 = 0, 0x1850 = 1; ROM in the low window at placement 0 and
//     in the BIOS window.
//   ATI adapter: device ID 0x6798, same subsystem IDs; registers 0x1C0 = 0x12345678,
//     0x19C = 0x80280000, 0x1A0 = 0x00C8A001, 0x198 = 0x003F0F00, 0xC40 = 0x00A00100;
//     ROM in the low window at placement 0 and in the BIOS window; awake.
//   Configuration space: a VGA header (class 0x030000, status with capability list), the
//     capability list at 0x60: power management -> MSI at 0x68 -> PCI Express at 0x78 with
//     Link Capabilities speed 2 width x16 and Link Status speed 2 width x16.
//   ROM: 64 KB, 55 AA 80, then zeros.
//
// HARDWARE MODEL
//   Register window of an adapter (GetDWORD/WORD/BYTEVGAMMIOData on its slot, and for the
//   default adapter ReadMMIODword): byte b at offset o is
//     - ROM byte k when the ROM is switched in and o = 0x300000 + placement + k (rom_low) or
//       o = 0x700000 + k (rom_high; or rom_high.gated = 0, whether switched in or not);
//       0xFF past the end of the image;
//     - otherwise the register covering o (registers are 32-bit, at offsets o & ~3);
//     - otherwise 0xFF inside the windows 0x300000-0x3FFFFF and 0x700000-0x7FFFFF, 0x00
//       elsewhere below 16 MB, 0xFF from 16 MB up.
//   Wider reads are little-endian assemblies of those bytes.
//   Writes store into registers (byte lanes merged) except inside the two windows.
//   ROM switch:
//     NVIDIA, chip field (reg 0xA00 & 0x1FF00000) below 0x0E000000: in while reg 0x1850 == 0;
//     NVIDIA otherwise: in while bit 0 of reg 0x50 is set;
//     ATI: in while 0x1C0, 0x1A0, 0x198, 0x19C and 0xC40 hold exactly what the ROM-window open
//       makes of their power-on values ((v & 0x00FFFFFF) | 0x08000000, v & 0x00380000 three
//       times, v & 0xFFDFFFFF); any other value, or a register left alone, keeps it out.
//   BIOS window (ReadBIOSMMIOWord/Byte on the default adapter, GetWORD/BYTE/DWORDVGABIOSData
//     on a BIOS slot): ROM byte k at offset k, 0xFF past the end; all 0xFF when the adapter
//     has no BIOS window, is asleep, or (ATI only) its ROM is not switched in.
//   Asleep adapter: every register window and BIOS read answers all ones; writes are dropped.
//   Slots: GetVGAMMIOAddress(chip, i) / GetVGABIOSAddress(vendor, chip, i) map the adapter
//     with chip->nBus and chip->nDevice (and, for BIOS, that vendor) into slot i (0..31).
//     A record whose driver words differ from what FindVGAChip wrote for that adapter is
//     still mapped, with a note. An operation on an unmapped slot answers 0xFFFFFFFF and
//     logs a note.
//   FindVGAChip(vendor, buffer, size): the adapters of that vendor in scenario order, as many
//     whole records as fit into size bytes; returns the number of adapters of that vendor
//     (or the forced result). Record words: 0 bus, 1 device, 2 vendor | device ID << 16,
//     3 function, 4 subsystem vendor, 5 subsystem device, 6 BAR0 base, 7 0x58415748 ("HWAX").
//   GetPcicfgAddr(request): nFirstRegister is a byte offset (multiple of 4); copies nDwords
//     dwords from (bus, device, function) to pDest. A request reaching beyond byte 256, a
//     misaligned start or a null destination writes nothing (note, result 0). An absent
//     device reads all ones.
//   BusTypeAndDataRate(pairs): writes 8 pairs {0xB0570000 + i, 0xDA7A0000 + i}.
//   Wake-up state: MarkAwake() wakes every sleeping adapter. With a state folder set
//     (HWAXSIM_STATE on Windows) it also creates the file "awake" there, and the simulators
//     look for that file in FindVGAChip, the two map calls, BusTypeAndDataRate,
//     GetPcicfgAddr and both ATI calls (not in the per-byte reads).
//
// LOG
//   In process: Log() holds, in order, a Call entry for every call of the setup operations
//   (FindVGAChip, GetVGAMMIOAddress, GetVGABIOSAddress, BusTypeAndDataRate, GetPcicfgAddr,
//   the two ATI calls, the wake-up program's run), a Write entry for every register write
//   (export, slot or -1 for the default adapter, offset, value; also when dropped) and a Note
//   for every anomaly (unmapped slot, refused request, bad record size, ...). CallCount()
//   counts every call of every export, reads included.
//   As text (SetLogFile; Windows: HWAXSIM_LOG), one line per entry, appended and flushed:
//     <usec> <source> call <export> <details>
//     <usec> <source> write <export> slot=<n> offset=0x<hex> value=0x<hex8>
//     <usec> <source> note <export> <text>
//     <usec> <source> count <export> <n>        (each export called, at DLL_PROCESS_DETACH)
//   <usec> is QueryPerformanceCounter in microseconds; <source> is hwax, atipdl or loadspin.
#pragma once

#include "hwax_contract.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hwaxsim {

constexpr uint32_t kLowWindow = 0x300000;
constexpr uint32_t kHighWindow = 0x700000;
constexpr uint32_t kWindowSize = 0x100000;
constexpr uint32_t kRegisterSpace = 0x1000000;
constexpr int kSlots = 32;
constexpr uint32_t kAllOnes = 0xFFFFFFFF;

struct AdapterConfig {
    uint32_t nVendorId = kVendorNvidia;
    uint32_t nDeviceId = 0;
    uint32_t nSubVendorId = 0;
    uint32_t nSubDeviceId = 0;
    uint32_t nBus = 0;
    uint32_t nDevice = 0;
    std::array<uint8_t, 256> cfg{};
    std::map<uint32_t, uint32_t> regs;  // power-on values, by byte offset (multiple of 4)
    std::vector<uint8_t> rom;
    bool bRomLow = true;
    uint32_t nLowPlacement = 0;
    bool bRomHigh = false;
    bool bHighGated = true;
    bool bBiosWindow = true;
    bool bAsleep = false;
    bool operator==(const AdapterConfig&) const = default;
};

struct AtiConfig {
    bool bLoadFails = false;
    std::optional<uint32_t> firstBus;
    std::optional<int32_t> display;
    int32_t nEnumResult = 0;
    int32_t nActivityResult = 0;
    uint32_t nAwakeActivity = 27;
    bool operator==(const AtiConfig&) const = default;
};

struct LoadspinConfig {
    uint32_t nRunMs = 200;
    bool bHangs = false;
    bool bWakes = true;
    bool operator==(const LoadspinConfig&) const = default;
};

struct Scenario {
    std::vector<AdapterConfig> adapters;
    bool bLoadFails = false;
    std::map<uint32_t, int32_t> findResult;  // forced FindVGAChip result, by vendor
    std::optional<int> defaultAdapter;
    uint32_t dwHighBits = 0;
    AtiConfig ati;
    LoadspinConfig loadspin;
    bool operator==(const Scenario&) const = default;
};

// Adapters with the vendor defaults (see above).
AdapterConfig NvidiaAdapter(uint32_t nBus, uint32_t nDevice = 0);
AdapterConfig AtiAdapter(uint32_t nBus, uint32_t nDevice = 0);
std::array<uint8_t, 256> DefaultConfigSpace(uint32_t nVendorId, uint32_t nDeviceId,
                                            uint32_t nSubVendorId, uint32_t nSubDeviceId);
std::vector<uint8_t> DefaultRom();
// Copies text into rom at offset, growing the image when it is too short.
void PutRomText(std::vector<uint8_t>& rom, uint32_t nOffset, std::string_view text);

// The text format above. ParseScenario starts from an empty Scenario; baseDir resolves
// relative rom.file paths. On failure *pError (when given) names the line and the fault.
bool ParseScenario(std::string_view text, Scenario& out, std::string* pError = nullptr,
                   const std::string& baseDir = "");
std::string FormatScenario(const Scenario& scenario);
bool LoadScenarioFile(const std::string& path, Scenario& out, std::string* pError = nullptr);

// Simulator state. Configure powers the machine on: registers at their power-on values, all
// slots unmapped, sleeping adapters asleep, logs and counts cleared. The initial state is
// Configure(Scenario{}): no adapters.
void Configure(const Scenario& scenario);
const Scenario& CurrentScenario();
int DefaultAdapter();                                // -1 without adapters
uint32_t Register(int nAdapter, uint32_t nOffset);  // current value, 0 when never set
bool RomSwitchedIn(int nAdapter);
bool IsAsleep(int nAdapter);
int MmioSlotAdapter(int nSlot);  // adapter mapped into the slot, -1 when none
int BiosSlotAdapter(int nSlot);
// What the wake-up program does: wakes every sleeping adapter (and, with a state folder,
// leaves the marker file for the other processes).
void MarkAwake();
void SetStateDir(const std::string& dir);  // "" for none

// Log.
enum class EntryKind { Call, Write, Note };
struct LogEntry {
    EntryKind kind;
    std::string sExport;
    int32_t nSlot = -1;    // Write: slot, -1 for the default adapter
    uint32_t nOffset = 0;  // Write: register offset
    uint32_t dwValue = 0;  // Write: value
    std::string sText;     // Call: arguments and result; Note: what was wrong
};
const std::vector<LogEntry>& Log();
std::vector<LogEntry> Writes();
std::vector<LogEntry> Notes();
int CallCount(std::string_view exportName);
void ClearLog();  // log and counts; the hardware state stays
// Also write the log as text lines to this file ("" for none). The first source name of
// each line is `source`.
void SetLogFile(const std::string& path);
// Appends one text line for another simulator sharing the log file (atipdl, loadspin).
void LogLine(const char* source, const std::string& line);
// Writes the count lines for every export called so far.
void LogCounts();

// Native registration with the Win32 stand-in (not in the Windows build).
#ifndef _WIN32
// The driver as a DLL file at path, with every export except those named in omit. Loading
// it fails when the scenario says hwax.load_fails.
void Install(const std::string& path = "C:\\Program Files\\vrmset\\HWAX.DLL",
             const std::vector<std::string>& omit = {});
// The wake-up program at path; run time, hanging and waking come from the current
// scenario (call after Configure). Each run is counted.
void InstallLoadspin(const std::string& path = "C:\\Program Files\\vrmset\\loadspin.exe");
int LoadspinRuns();
#endif

// Sibling simulators (atipdl, loadspin) and the Windows entry points share the log and the
// wake-up state through these.
void AddEntry(const char* source, EntryKind kind, std::string_view exportName, std::string text);
void CountCall(std::string_view exportName);
// Looks for the marker file of the wake-up program; source names the module in the log.
void RefreshWakeState(const char* source = "hwax");
#ifdef _WIN32
// Reads HWAXSIM_LOG, HWAXSIM_STATE and HWAXSIM_SCENARIO and configures the machine; false
// (with *pError) when the scenario file cannot be read or parsed, leaving an empty machine.
bool ConfigureFromEnvironment(std::string* pError);
#endif

// The 33 export names, in the member order of HWAX_ENTRIES.
extern const char* const kExportNames[33];

}  // namespace hwaxsim

// The driver's exports. Of those the identity library never calls, the ones whose arguments
// the contract leaves open (I2C, ports, the slot-less word and byte MMIO, IsAGP30, IsPCIE)
// only count the call and answer 0.
extern "C" {
int32_t __cdecl FindVGAChip(uint32_t nVendorId, VGA_CHIP* pChips, uint32_t cbSize);
int32_t __cdecl GetVGAMMIOAddress(VGA_CHIP* pChip, int32_t nSlot);
int32_t __cdecl GetVGABIOSAddress(uint32_t nVendorId, VGA_CHIP* pChip, int32_t nSlot);
int32_t __cdecl BusTypeAndDataRate(BUS_INFO* pBusInfo);
int32_t __cdecl GetPcicfgAddr(PCI_CFG_REQUEST* pRequest);
uint32_t __cdecl GetDWORDVGAMMIOData(uint32_t nOffset, int32_t nSlot);
uint32_t __cdecl GetWORDVGAMMIOData(uint32_t nOffset, int32_t nSlot);
uint32_t __cdecl GetBYTEVGAMMIOData(uint32_t nOffset, int32_t nSlot);
int32_t __cdecl WriteDWORDVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot);
int32_t __cdecl WriteWORDVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot);
int32_t __cdecl WriteBYTEVGAMMIOData(uint32_t nOffset, uint32_t dwValue, int32_t nSlot);
uint32_t __cdecl ReadMMIODword(uint32_t nOffset);
int32_t __cdecl WriteMMIODword(MMIO_WRITE_REQUEST* pRequest);
uint32_t __cdecl ReadBIOSMMIODword(uint32_t nOffset);
uint32_t __cdecl ReadBIOSMMIOWord(uint32_t nOffset);
uint32_t __cdecl ReadBIOSMMIOByte(uint32_t nOffset);
uint32_t __cdecl GetDWORDVGABIOSData(uint32_t nOffset, int32_t nSlot);
uint32_t __cdecl GetWORDVGABIOSData(uint32_t nOffset, int32_t nSlot);
uint32_t __cdecl GetBYTEVGABIOSData(uint32_t nOffset, int32_t nSlot);
int32_t __cdecl WriteI2CByte(void);
int32_t __cdecl WriteI2C(void);
int32_t __cdecl ReadI2CByte(void);
int32_t __cdecl ReadI2C(void);
int32_t __cdecl DetectI2CDevice(void);
int32_t __cdecl DefinePort(void);
int32_t __cdecl DefineBaseAddr9X(void);
int32_t __cdecl GetMapAddress(void);
int32_t __cdecl ReadMMIOWord(void);
int32_t __cdecl WriteMMIOWord(void);
int32_t __cdecl ReadMMIOByte(void);
int32_t __cdecl WriteMMIOByte(void);
int32_t __cdecl IsAGP30(void);
int32_t __cdecl IsPCIE(void);
}
