#include "hostcalls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const HOST_EXPORT g_HostExports[11] = {
    {"GetTELOVGACard", ResultKind::Count, false},
    {"GetVGAModleName", ResultKind::Text, false},
    {"GetVGAModleName1", ResultKind::Text, false},
    {"GetVGAModleName2", ResultKind::Text, false},
    {"GetVGAModleName3", ResultKind::Text, false},
    {"GetVGAPPID_Num", ResultKind::Text, false},
    {"GetVGAPPID_Num1", ResultKind::Text, false},
    {"GetVGAPPID_Num2", ResultKind::Text, false},
    {"GetVGAPPID_Num3", ResultKind::Text, false},
    {"MultiGetModleName", ResultKind::Text, true},
    {"MultiGetVGAPPID_Num", ResultKind::Text, true},
};

bool ParseHostCall(const char* szSpec, HOST_CALL& call, std::string& strError)
{
    const char* pColon = std::strchr(szSpec, ':');
    std::string strName = pColon ? std::string(szSpec, pColon - szSpec) : std::string(szSpec);

    call.pExport = nullptr;
    call.nIndex = 0;
    for (const HOST_EXPORT& e : g_HostExports) {
        if (strName == e.szName) {
            call.pExport = &e;
            break;
        }
    }
    if (!call.pExport) {
        strError = "unknown export '" + strName + "'";
        return false;
    }
    if (!call.pExport->bTakesIndex) {
        if (pColon) {
            strError = strName + " takes no index";
            return false;
        }
        return true;
    }
    if (!pColon || pColon[1] == '\0') {
        strError = strName + " needs an index (" + strName + ":n)";
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    long nValue = std::strtol(pColon + 1, &pEnd, 10);
    if (*pEnd != '\0' || errno == ERANGE || nValue < INT32_MIN || nValue > INT32_MAX) {
        strError = "bad index '" + std::string(pColon + 1) + "'";
        return false;
    }
    call.nIndex = static_cast<int32_t>(nValue);
    return true;
}

std::string FormatText(const char* szText)
{
    if (!szText)
        return "NULL";
    std::string strOut = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(szText); *p; ++p) {
        if (*p >= 0x20 && *p <= 0x7E && *p != '"' && *p != '\\') {
            strOut += static_cast<char>(*p);
        } else {
            char szHex[5];
            std::snprintf(szHex, sizeof szHex, "\\x%02X", *p);
            strOut += szHex;
        }
    }
    strOut += '"';
    return strOut;
}
