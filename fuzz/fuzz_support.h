// What every fuzz target shares: reading the fuzz input as a sequence of fields, failing a
// checked property loudly (libFuzzer keeps the input that did it), and ending a run.
#pragma once

#include <winstub.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// The fuzz input, read front to back. Past its end every field reads as zero, so a short
// input is simply a machine with everything at its first choice.
class Input {
public:
    Input(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}

    uint8_t U8() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    bool Bool() { return U8() & 1; }
    // A choice among n (n >= 1).
    uint32_t Pick(uint32_t n) { return U8() % n; }
    size_t Left() const { return m_nSize - m_nPos; }
    // Up to nMax raw bytes.
    std::string Bytes(size_t nMax) {
        size_t n = nMax < Left() ? nMax : Left();
        std::string s(reinterpret_cast<const char*>(m_pData + m_nPos), n);
        m_nPos += n;
        return s;
    }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
};

// A property that does not hold: say which and stop, so libFuzzer saves the input.
[[noreturn]] inline void Fail(const char* szFile, int nLine, const char* szFormat, ...) {
    std::fprintf(stderr, "\n%s:%d: property violated: ", szFile, nLine);
    va_list args;
    va_start(args, szFormat);
    std::vfprintf(stderr, szFormat, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                              \
    do {                                                   \
        if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, __VA_ARGS__); \
    } while (0)

// After a run: the stand-in back to a fresh process, so that every run frees what it
// allocated (libFuzzer takes a difference for a leak and runs the input again to see).
inline void EndRun() { winstub::Reset(); }

}  // namespace fuzz
