// The machine description of the simulated access driver: vendor defaults and the text
// scenario format that both builds read (see hwaxsim.h).
#include "hwaxsim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace hwaxsim {
namespace {

constexpr uint32_t kMaxRomSize = 16 * 1024 * 1024;

void Put16(std::array<uint8_t, 256>& cfg, size_t off, uint32_t v) {
    cfg[off] = static_cast<uint8_t>(v);
    cfg[off + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::array<uint8_t, 256>& cfg, size_t off, uint32_t v) {
    Put16(cfg, off, v);
    Put16(cfg, off + 2, v >> 16);
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return std::string(s.substr(b, e - b));
}

bool ParseInt(const std::string& s, int64_t& out) {
    if (s.empty()) return false;
    size_t i = 0;
    bool neg = false;
    if (s[0] == '-') {
        neg = true;
        i = 1;
    }
    int base = 10;
    if (s.size() > i + 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

bool ParseU32(const std::string& s, uint32_t& out) {
    int64_t v;
    if (!ParseInt(s, v) || v < 0 || v > 0xFFFFFFFFll) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseI32(const std::string& s, int32_t& out) {
    int64_t v;
    if (!ParseInt(s, v) || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool ParseByte(const std::string& s, uint8_t& out) {
    uint32_t v;
    if (!ParseU32(s, v) || v > 0xFF) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

bool ParseBool(const std::string& s, bool& out) {
    if (s == "1" || s == "true" || s == "yes") {
        out = true;
        return true;
    }
    if (s == "0" || s == "false" || s == "no") {
        out = false;
        return true;
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>& out) {
    out.clear();
    int hi = -1;
    for (char c : s) {
        if (c == ' ' || c == '\t') {
            if (hi >= 0) return false;  // odd digit count in a group
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) return false;
        if (hi < 0) {
            hi = d;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | d));
            hi = -1;
        }
    }
    return hi < 0 && !out.empty();
}

bool ParseQuoted(const std::string& s, std::string& out) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
    out.clear();
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        char c = s[i];
        if (c == '"') return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i + 1 >= s.size()) return false;
        switch (s[i]) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                if (i + 3 >= s.size()) return false;
                int h = HexDigit(s[i + 1]), l = HexDigit(s[i + 2]);
                if (h < 0 || l < 0) return false;
                out += static_cast<char>(h << 4 | l);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

// Cuts a '#' comment that lies outside a quoted text.
std::string StripComment(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '#' && !quoted) {
            return std::string(line.substr(0, i));
        }
    }
    return std::string(line);
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
        if (out.size() > kMaxRomSize) break;
    }
    std::fclose(f);
    return out.size() <= kMaxRomSize;
}

bool IsAbsolute(const std::string& p) {
    return !p.empty() && (p[0] == '/' || p[0] == '\\' || (p.size() > 1 && p[1] == ':'));
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || IsAbsolute(name)) return name;
    char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    return dir + (dir.find('\\') != std::string::npos ? "\\" : "/") + name;
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
    return buf;
}

std::string HexBytes(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
        s += buf;
    }
    return s;
}

struct Line {
    int number;
    std::string key;
    std::string value;
};

// Splits "adapter.N.rest"; false when the key is not an adapter key.
bool SplitAdapterKey(const std::string& key, int& index, std::string& rest) {
    static const char kPrefix[] = "adapter.";
    if (key.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
    size_t dot = key.find('.', sizeof kPrefix - 1);
    if (dot == std::string::npos) return false;
    std::string num = key.substr(sizeof kPrefix - 1, dot - (sizeof kPrefix - 1));
    uint32_t v;
    if (!ParseU32(num, v) || v > 255) return false;
    index = static_cast<int>(v);
    rest = key.substr(dot + 1);
    return true;
}

// "prefix.OFF" -> OFF.
bool SplitOffset(const std::string& rest, const char* prefix, uint32_t& off) {
    size_t n = std::strlen(prefix);
    if (rest.compare(0, n, prefix) != 0 || rest.size() <= n) return false;
    return ParseU32(rest.substr(n), off);
}

bool ApplyAdapterKey(AdapterConfig& a, const std::string& rest, const std::string& value,
                     const std::string& baseDir, std::string& why) {
    uint32_t off = 0;
    uint8_t b = 0;
    bool flag = false;
    std::vector<uint8_t> bytes;
    if (rest == "vendor" || rest == "device_id" || rest == "subvendor" || rest == "subdevice") {
        return true;  // taken in the first pass
    } else if (rest == "bus") {
        if (!ParseU32(value, a.nBus) || a.nBus > 255) return why = "bus 0..255", false;
    } else if (rest == "device") {
        if (!ParseU32(value, a.nDevice) || a.nDevice > 31) return why = "device 0..31", false;
    } else if (rest == "reg.clear") {
        if (!ParseBool(value, flag)) return why = "boolean expected", false;
        if (flag) a.regs.clear();
    } else if (SplitOffset(rest, "reg.", off)) {
        if (off % 4) return why = "register offset must be a multiple of 4", false;
        uint32_t v;
        if (!ParseU32(value, v)) return why = "32-bit value expected", false;
        a.regs[off] = v;
    } else if (rest == "cfg.fill") {
        if (!ParseByte(value, b)) return why = "byte expected", false;
        a.cfg.fill(b);
    } else if (SplitOffset(rest, "cfg.bytes.", off)) {
        if (!ParseHexBytes(value, bytes)) return why = "hex bytes expected", false;
        if (off > 256 || bytes.size() > 256 - off) return why = "past configuration byte 255", false;
        std::copy(bytes.begin(), bytes.end(), a.cfg.begin() + off);
    } else if (rest == "rom.size") {
        uint32_t n;
        if (!ParseU32(value, n) || n > kMaxRomSize) return why = "size up to 16 MB", false;
        a.rom.resize(n, 0x00);
    } else if (rest == "rom.fill") {
        if (!ParseByte(value, b)) return why = "byte expected", false;
        std::fill(a.rom.begin(), a.rom.end(), b);
    } else if (rest == "rom.file") {
        std::string path = value;
        if (!path.empty() && path.front() == '"' && !ParseQuoted(value, path))
            return why = "bad quoted path", false;
        if (!ReadFileBytes(JoinPath(baseDir, path), a.rom))
            return why = "cannot read ROM file " + path, false;
    } else if (SplitOffset(rest, "rom.bytes.", off)) {
        if (!ParseHexBytes(value, bytes)) return why = "hex bytes expected", false;
        if (off > a.rom.size() || bytes.size() > a.rom.size() - off)
            return why = "past the end of the ROM image", false;
        std::copy(bytes.begin(), bytes.end(), a.rom.begin() + off);
    } else if (SplitOffset(rest, "rom.text.", off)) {
        std::string text;
        if (!ParseQuoted(value, text)) return why = "quoted text expected", false;
        if (off > a.rom.size() || text.size() > a.rom.size() - off)
            return why = "past the end of the ROM image", false;
        std::copy(text.begin(), text.end(), a.rom.begin() + off);
    } else if (rest == "rom_low") {
        if (!ParseBool(value, a.bRomLow)) return why = "boolean expected", false;
    } else if (rest == "rom_low.placement") {
        if (!ParseU32(value, a.nLowPlacement) || a.nLowPlacement >= kWindowSize)
            return why = "placement inside the window", false;
    } else if (rest == "rom_high") {
        if (!ParseBool(value, a.bRomHigh)) return why = "boolean expected", false;
    } else if (rest == "rom_high.gated") {
        if (!ParseBool(value, a.bHighGated)) return why = "boolean expected", false;
    } else if (rest == "bios_window") {
        if (!ParseBool(value, a.bBiosWindow)) return why = "boolean expected", false;
    } else if (rest == "asleep") {
        if (!ParseBool(value, a.bAsleep)) return why = "boolean expected", false;
    } else {
        return why = "unknown key", false;
    }
    return true;
}

bool ApplyGlobalKey(Scenario& s, const std::string& key, const std::string& value,
                    std::string& why) {
    uint32_t u = 0;
    int32_t i = 0;
    if (key == "hwax.load_fails") {
        if (!ParseBool(value, s.bLoadFails)) return why = "boolean expected", false;
    } else if (key.compare(0, 17, "hwax.find_result.") == 0) {
        if (!ParseU32(key.substr(17), u) || u > 0xFFFF) return why = "vendor ID expected", false;
        if (!ParseI32(value, i)) return why = "signed 32-bit value expected", false;
        s.findResult[u] = i;
    } else if (key == "hwax.default_adapter") {
        if (!ParseI32(value, i) || i < 0) return why = "adapter index expected", false;
        s.defaultAdapter = i;
    } else if (key == "hwax.high_bits") {
        if (!ParseU32(value, s.dwHighBits)) return why = "32-bit value expected", false;
    } else if (key == "atipdl.load_fails") {
        if (!ParseBool(value, s.ati.bLoadFails)) return why = "boolean expected", false;
    } else if (key == "ati.first_bus") {
        if (!ParseU32(value, u)) return why = "32-bit value expected", false;
        s.ati.firstBus = u;
    } else if (key == "ati.display") {
        if (!ParseI32(value, i)) return why = "signed 32-bit value expected", false;
        s.ati.display = i;
    } else if (key == "ati.enum_result") {
        if (!ParseI32(value, s.ati.nEnumResult)) return why = "signed 32-bit value expected", false;
    } else if (key == "ati.activity_result") {
        if (!ParseI32(value, s.ati.nActivityResult))
            return why = "signed 32-bit value expected", false;
    } else if (key == "ati.awake_activity") {
        if (!ParseU32(value, s.ati.nAwakeActivity) || s.ati.nAwakeActivity == 0)
            return why = "non-zero value expected", false;
    } else if (key == "loadspin.run_ms") {
        if (!ParseU32(value, s.loadspin.nRunMs)) return why = "milliseconds expected", false;
    } else if (key == "loadspin.hangs") {
        if (!ParseBool(value, s.loadspin.bHangs)) return why = "boolean expected", false;
    } else if (key == "loadspin.wakes") {
        if (!ParseBool(value, s.loadspin.bWakes)) return why = "boolean expected", false;
    } else {
        return why = "unknown key", false;
    }
    return true;
}

}  // namespace

std::array<uint8_t, 256> DefaultConfigSpace(uint32_t nVendorId, uint32_t nDeviceId,
                                            uint32_t nSubVendorId, uint32_t nSubDeviceId) {
    std::array<uint8_t, 256> cfg{};
    Put16(cfg, 0x00, nVendorId);
    Put16(cfg, 0x02, nDeviceId);
    Put16(cfg, 0x04, 0x0007);      // I/O, memory, bus master
    Put16(cfg, 0x06, 0x0010);      // capability list present
    Put32(cfg, 0x08, 0x030000A1);  // VGA controller, revision A1
    cfg[0x0E] = 0x80;              // multi-function (HDMI audio beside it)
    Put32(cfg, 0x10, 0xF6000000);  // registers
    Put32(cfg, 0x14, 0xE000000C);  // frame buffer, 64-bit prefetchable
    Put16(cfg, 0x2C, nSubVendorId);
    Put16(cfg, 0x2E, nSubDeviceId);
    Put32(cfg, 0x30, 0xF7000000);  // expansion ROM, decoding off
    cfg[0x34] = 0x60;
    cfg[0x3C] = 0x0B;
    cfg[0x3D] = 0x01;
    // Power management -> MSI -> PCI Express.
    cfg[0x60] = 0x01;
    cfg[0x61] = 0x68;
    Put16(cfg, 0x62, 0x0003);
    cfg[0x68] = 0x05;
    cfg[0x69] = 0x78;
    Put16(cfg, 0x6A, 0x0080);
    cfg[0x78] = 0x10;
    cfg[0x79] = 0x00;
    Put16(cfg, 0x7A, 0x0002);           // version 2, endpoint
    Put32(cfg, 0x78 + 0x0C, 0x00000102);  // link capabilities: speed 2, width x16
    Put16(cfg, 0x78 + 0x12, 0x0102);      // link status: speed 2, width x16
    return cfg;
}

std::vector<uint8_t> DefaultRom() {
    std::vector<uint8_t> rom(0x10000, 0x00);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = 0x80;  // image length in 512-byte blocks
    return rom;
}

void PutRomText(std::vector<uint8_t>& rom, uint32_t nOffset, std::string_view text) {
    if (rom.size() < nOffset + text.size()) rom.resize(nOffset + text.size(), 0x00);
    std::copy(text.begin(), text.end(), rom.begin() + nOffset);
}

AdapterConfig NvidiaAdapter(uint32_t nBus, uint32_t nDevice) {
    AdapterConfig a;
    a.nVendorId = kVendorNvidia;
    a.nDeviceId = 0x1180;
    a.nSubVendorId = CARDTAG_BOARD_VENDOR_ID;
    a.nSubDeviceId = 0x0A01;
    a.nBus = nBus;
    a.nDevice = nDevice;
    a.cfg = DefaultConfigSpace(a.nVendorId, a.nDeviceId, a.nSubVendorId, a.nSubDeviceId);
    a.regs = {{0xA00, 0x0E4000A1}, {0x50, 0x00000000}, {0x1850, 0x00000001}};
    a.rom = DefaultRom();
    return a;
}

AdapterConfig AtiAdapter(uint32_t nBus, uint32_t nDevice) {
    AdapterConfig a;
    a.nVendorId = kVendorAti;
    a.nDeviceId = 0x6798;
    a.nSubVendorId = CARDTAG_BOARD_VENDOR_ID;
    a.nSubDeviceId = 0x0A01;
    a.nBus = nBus;
    a.nDevice = nDevice;
    a.cfg = DefaultConfigSpace(a.nVendorId, a.nDeviceId, a.nSubVendorId, a.nSubDeviceId);
    a.regs = {{0x1C0, 0x12345678},
              {0x19C, 0x80280000},
              {0x1A0, 0x00C8A001},
              {0x198, 0x003F0F00},
              {0xC40, 0x00A00100}};
    a.rom = DefaultRom();
    return a;
}

bool ParseScenario(std::string_view text, Scenario& out, std::string* pError,
                   const std::string& baseDir) {
    std::vector<Line> lines;
    int number = 0;
    size_t pos = 0;
    auto fail = [&](int line, const std::string& why) {
        if (pError) *pError = "scenario line " + std::to_string(line) + ": " + why;
        return false;
    };
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        std::string body = Trim(StripComment(text.substr(pos, end - pos)));
        pos = end + 1;
        if (body.empty()) continue;
        size_t eq = body.find('=');
        if (eq == std::string::npos) return fail(number, "'key = value' expected");
        lines.push_back({number, Trim(body.substr(0, eq)), Trim(body.substr(eq + 1))});
    }

    // First pass: the adapters and their identities, which decide the defaults that the
    // other keys then change.
    struct Identity {
        uint32_t vendor = kVendorNvidia;
        std::optional<uint32_t> deviceId, subVendor, subDevice;
    };
    std::map<int, Identity> ids;
    for (const Line& l : lines) {
        int n;
        std::string rest;
        if (!SplitAdapterKey(l.key, n, rest)) continue;
        Identity& id = ids[n];
        uint32_t v;
        if (rest == "vendor" || rest == "device_id" || rest == "subvendor" || rest == "subdevice") {
            if (!ParseU32(l.value, v) || v > 0xFFFF) return fail(l.number, "16-bit ID expected");
            if (rest == "vendor") id.vendor = v;
            if (rest == "device_id") id.deviceId = v;
            if (rest == "subvendor") id.subVendor = v;
            if (rest == "subdevice") id.subDevice = v;
        }
    }
    Scenario s;
    for (const auto& [n, id] : ids) {
        if (n != static_cast<int>(s.adapters.size()))
            return fail(0, "adapter " + std::to_string(s.adapters.size()) + " missing");
        uint32_t bus = static_cast<uint32_t>(n) + 1;
        AdapterConfig a = id.vendor == kVendorAti ? AtiAdapter(bus) : NvidiaAdapter(bus);
        a.nVendorId = id.vendor;
        if (id.deviceId) a.nDeviceId = *id.deviceId;
        if (id.subVendor) a.nSubVendorId = *id.subVendor;
        if (id.subDevice) a.nSubDeviceId = *id.subDevice;
        a.cfg = DefaultConfigSpace(a.nVendorId, a.nDeviceId, a.nSubVendorId, a.nSubDeviceId);
        s.adapters.push_back(a);
    }

    for (const Line& l : lines) {
        int n;
        std::string rest, why;
        bool ok = SplitAdapterKey(l.key, n, rest)
                      ? ApplyAdapterKey(s.adapters[n], rest, l.value, baseDir, why)
                      : ApplyGlobalKey(s, l.key, l.value, why);
        if (!ok) return fail(l.number, l.key + ": " + why);
    }
    out = std::move(s);
    return true;
}

std::string FormatScenario(const Scenario& s) {
    std::string t;
    auto line = [&](const std::string& key, const std::string& value) {
        t += key + " = " + value + "\n";
    };
    for (size_t n = 0; n < s.adapters.size(); ++n) {
        const AdapterConfig& a = s.adapters[n];
        const std::string p = "adapter." + std::to_string(n) + ".";
        line(p + "vendor", Hex(a.nVendorId));
        line(p + "device_id", Hex(a.nDeviceId));
        line(p + "subvendor", Hex(a.nSubVendorId));
        line(p + "subdevice", Hex(a.nSubDeviceId));
        line(p + "bus", std::to_string(a.nBus));
        line(p + "device", std::to_string(a.nDevice));
        const AdapterConfig base = a.nVendorId == kVendorAti ? AtiAdapter(0) : NvidiaAdapter(0);
        if (a.regs != base.regs) {
            line(p + "reg.clear", "1");
            for (const auto& [off, v] : a.regs) line(p + "reg." + Hex(off), Hex(v));
        }
        const auto cfg0 = DefaultConfigSpace(a.nVendorId, a.nDeviceId, a.nSubVendorId, a.nSubDeviceId);
        for (size_t off = 0; off < 256; off += 32) {
            if (!std::equal(a.cfg.begin() + off, a.cfg.begin() + off + 32, cfg0.begin() + off))
                line(p + "cfg.bytes." + Hex(off), HexBytes(a.cfg.data() + off, 32));
        }
        if (a.rom != DefaultRom()) {
            size_t counts[256] = {};
            for (uint8_t b : a.rom) ++counts[b];
            uint8_t fill = 0;
            for (int b = 1; b < 256; ++b)
                if (counts[b] > counts[fill]) fill = static_cast<uint8_t>(b);
            line(p + "rom.size", Hex(static_cast<uint32_t>(a.rom.size())));
            line(p + "rom.fill", Hex(fill));
            for (size_t off = 0; off < a.rom.size(); off += 32) {
                size_t len = std::min<size_t>(32, a.rom.size() - off);
                bool plain = true;
                for (size_t k = 0; k < len && plain; ++k) plain = a.rom[off + k] == fill;
                if (!plain) line(p + "rom.bytes." + Hex(static_cast<uint32_t>(off)), HexBytes(&a.rom[off], len));
            }
        }
        line(p + "rom_low", a.bRomLow ? "1" : "0");
        line(p + "rom_low.placement", Hex(a.nLowPlacement));
        line(p + "rom_high", a.bRomHigh ? "1" : "0");
        line(p + "rom_high.gated", a.bHighGated ? "1" : "0");
        line(p + "bios_window", a.bBiosWindow ? "1" : "0");
        line(p + "asleep", a.bAsleep ? "1" : "0");
    }
    if (s.bLoadFails) line("hwax.load_fails", "1");
    for (const auto& [vendor, result] : s.findResult)
        line("hwax.find_result." + Hex(vendor), std::to_string(result));
    if (s.defaultAdapter) line("hwax.default_adapter", std::to_string(*s.defaultAdapter));
    if (s.dwHighBits) line("hwax.high_bits", Hex(s.dwHighBits));
    if (s.ati.bLoadFails) line("atipdl.load_fails", "1");
    if (s.ati.firstBus) line("ati.first_bus", std::to_string(*s.ati.firstBus));
    if (s.ati.display) line("ati.display", std::to_string(*s.ati.display));
    line("ati.enum_result", std::to_string(s.ati.nEnumResult));
    line("ati.activity_result", std::to_string(s.ati.nActivityResult));
    line("ati.awake_activity", std::to_string(s.ati.nAwakeActivity));
    line("loadspin.run_ms", std::to_string(s.loadspin.nRunMs));
    line("loadspin.hangs", s.loadspin.bHangs ? "1" : "0");
    line("loadspin.wakes", s.loadspin.bWakes ? "1" : "0");
    return t;
}

bool LoadScenarioFile(const std::string& path, Scenario& out, std::string* pError) {
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(path, bytes)) {
        if (pError) *pError = "cannot read scenario file " + path;
        return false;
    }
    size_t slash = path.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    std::string text(bytes.begin(), bytes.end());
    return ParseScenario(text, out, pError, dir);
}

}  // namespace hwaxsim
