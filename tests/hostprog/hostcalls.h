// The host program's view of the identity library's exports: which of them it knows, what
// each takes and returns, and how a call on the command line and its result are written.
// Kept free of Win32 so that the native build can test it.
#pragma once

#include <cstdint>
#include <string>

enum class ResultKind { Count, Text };

struct HOST_EXPORT {
    const char* szName;
    ResultKind kind;
    bool bTakesIndex;  // the one int argument of the indexed exports
};

// One call asked for on the command line: "Name" or "Name:index".
struct HOST_CALL {
    const HOST_EXPORT* pExport;
    int32_t nIndex;
};

// The eleven exports of the identity library, in ordinal order.
extern const HOST_EXPORT g_HostExports[11];

// Parses szSpec into call. False, with szError set, for an unknown name, an index given to an
// export that takes none, a missing index, or an index that is not a decimal 32-bit number.
bool ParseHostCall(const char* szSpec, HOST_CALL& call, std::string& strError);

// A text result as one output line's value: NULL, or the text in double quotes with '"', '\'
// and every byte outside 0x20..0x7E written as \xHH, so that each result stays on one line.
std::string FormatText(const char* szText);
