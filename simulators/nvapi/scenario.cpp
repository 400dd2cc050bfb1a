// The scenario text format of the simulated driver (described in nvsim.h). The same parser
// serves the tests (natively) and the DLL, which reads its scenario file at load.
#include "nvsim.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

namespace nvsim {
namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> Tokens(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string t; in >> t;) out.push_back(t);
    return out;
}

// Decimal or 0x-hex, optionally signed, within [lo, hi].
bool ParseNumber(const std::string& s, int64_t lo, int64_t hi, int64_t* pValue) {
    size_t i = 0;
    bool bNegative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) bNegative = s[i++] == '-';
    int base = 10;
    if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size() || !isxdigit(static_cast<unsigned char>(s[i]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long magnitude = strtoull(s.c_str() + i, &end, base);
    if (errno != 0 || *end != '\0' || magnitude > (1ull << 62)) return false;
    int64_t v = bNegative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (v < lo || v > hi) return false;
    *pValue = v;
    return true;
}

// '#' begins a comment at the start of a line or after a blank; inside a word such as
// "i2c#3" it is part of the value.
size_t CommentStart(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return i;
    return std::string::npos;
}

bool Reject(std::string* pError, const std::string& why) {
    *pError = why;
    return false;
}

// One or two hex digits, with or without 0x.
bool ParseHexByte(std::string s, uint8_t* pValue) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 2) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    *pValue = static_cast<uint8_t>(strtoul(s.c_str(), nullptr, 16));
    return true;
}

bool ParseCallRef(const std::string& s, CallKind* pKind, uint32_t* pnCall) {
    size_t hash = s.find('#');
    if (hash == std::string::npos) return false;
    std::string kind = s.substr(0, hash);
    if (kind == "init") *pKind = CallKind::Init;
    else if (kind == "enum") *pKind = CallKind::Enum;
    else if (kind == "i2c") *pKind = CallKind::I2C;
    else if (kind == "bus") *pKind = CallKind::BusId;
    else return false;
    int64_t n;
    if (!ParseNumber(s.substr(hash + 1), 1, UINT32_MAX, &n)) return false;
    *pnCall = static_cast<uint32_t>(n);
    return true;
}

bool ParseI2CCalls(const std::string& value, std::vector<uint32_t>* pCalls, std::string* pError) {
    pCalls->clear();
    for (const std::string& t : Tokens(value)) {
        CallKind kind;
        uint32_t n;
        if (!ParseCallRef(t, &kind, &n) || kind != CallKind::I2C) {
            *pError = "expected i2c#<n>: " + t;
            return false;
        }
        pCalls->push_back(n);
    }
    return true;
}

bool ParseRegisters(const std::string& value, int gpu, std::vector<RegisterInit>* pOut,
                    std::string* pError) {
    for (const std::string& t : Tokens(value)) {
        size_t eq = t.find('=');
        RegisterInit r{gpu, 0, 0};
        if (eq == std::string::npos || !ParseHexByte(t.substr(0, eq), &r.reg) ||
            !ParseHexByte(t.substr(eq + 1), &r.value)) {
            *pError = "expected <reg>=<value> in hex: " + t;
            return false;
        }
        pOut->push_back(r);
    }
    return true;
}

bool Apply(const std::string& key, const std::string& value, Scenario& s, std::string* pError) {
    int64_t n;
    if (key == "gpus") {
        if (!ParseNumber(value, 0, kMaxGpus, &n)) return Reject(pError, "gpus: 0..64");
        s.nGpus = static_cast<uint32_t>(n);
    } else if (key == "bus") {
        s.busNumbers.clear();
        for (const std::string& t : Tokens(value)) {
            if (!ParseNumber(t, 0, UINT32_MAX, &n)) return Reject(pError, "bus: bad number " + t);
            s.busNumbers.push_back(static_cast<uint32_t>(n));
        }
    } else if (key == "completion") {
        if (!ParseHexByte(value, &s.nCompletion)) return Reject(pError, "completion: one hex byte");
    } else if (key == "init") {
        if (!ParseNumber(value, INT32_MIN, INT32_MAX, &n)) return Reject(pError, "init: a status");
        s.nInitStatus = static_cast<NvAPI_Status>(n);
    } else if (key == "missing") {
        s.missingIds.clear();
        for (const std::string& t : Tokens(value)) {
            if (!ParseNumber(t, 0, UINT32_MAX, &n)) return Reject(pError, "missing: bad ID " + t);
            s.missingIds.push_back(static_cast<uint32_t>(n));
        }
    } else if (key == "hooks") {
        if (value == "both") s.hooks = Hooks::Both;
        else if (value == "pre") s.hooks = Hooks::Pre;
        else if (value == "post") s.hooks = Hooks::Post;
        else if (value == "none") s.hooks = Hooks::None;
        else return Reject(pError, "hooks: both, pre, post or none");
    } else if (key == "count") {
        if (!ParseNumber(value, 0, UINT32_MAX, &n)) return Reject(pError, "count: 0 or more");
        s.nCount = n;
    } else if (key == "fail") {
        s.faults.clear();
        for (const std::string& t : Tokens(value)) {
            size_t colon = t.find(':');
            Fault f{};
            int64_t status;
            if (colon == std::string::npos || !ParseCallRef(t.substr(0, colon), &f.kind, &f.nCall) ||
                !ParseNumber(t.substr(colon + 1), INT32_MIN, INT32_MAX, &status))
                return Reject(pError, "fail: expected <init|enum|i2c|bus>#<n>:<status>: " + t);
            f.status = static_cast<NvAPI_Status>(status);
            s.faults.push_back(f);
        }
    } else if (key == "untouched") {
        return ParseI2CCalls(value, &s.untouchedI2c, pError);
    } else if (key == "scribble") {
        return ParseI2CCalls(value, &s.scribbleI2c, pError);
    } else if (key == "slack") {
        if (!ParseNumber(value, 0, UINT32_MAX, &n)) return Reject(pError, "slack: microseconds");
        s.nSlackUs = static_cast<uint32_t>(n);
    } else {
        return Reject(pError, "unknown key " + key);
    }
    return true;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& out, int* pnLine, std::string* pstrError) {
    struct Line {
        int nLine;
        std::string value;
    };
    std::map<std::string, Line> plain;      // last line of each key
    std::map<int, Line> gpuRegisters;       // regs.N by GPU
    std::optional<Line> allRegisters;
    std::istringstream in(text);
    std::string raw;
    int nLine = 0;
    auto fail = [&](int line, const std::string& why) {
        if (pnLine) *pnLine = line;
        if (pstrError) *pstrError = why;
        return false;
    };
    while (std::getline(in, raw)) {
        ++nLine;
        std::string line = Trim(raw.substr(0, CommentStart(raw)));
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return fail(nLine, "expected key = value");
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key == "regs") {
            allRegisters = Line{nLine, value};
        } else if (key.rfind("regs.", 0) == 0) {
            int64_t gpu;
            if (!ParseNumber(key.substr(5), 0, kMaxGpus - 1, &gpu))
                return fail(nLine, "regs.<gpu>: gpu 0..63");
            gpuRegisters[static_cast<int>(gpu)] = Line{nLine, value};
        } else {
            plain[key] = Line{nLine, value};
        }
    }

    Scenario s = out;
    std::string error;
    for (const auto& [key, line] : plain)
        if (!Apply(key, line.value, s, &error)) return fail(line.nLine, error);
    if (allRegisters || !gpuRegisters.empty()) s.registers.clear();
    if (allRegisters && !ParseRegisters(allRegisters->value, -1, &s.registers, &error))
        return fail(allRegisters->nLine, error);
    for (const auto& [gpu, line] : gpuRegisters)
        if (!ParseRegisters(line.value, gpu, &s.registers, &error)) return fail(line.nLine, error);
    out = s;
    return true;
}

}  // namespace nvsim
