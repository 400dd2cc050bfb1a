// The identity library in a fuzz run: its process-wide state put back to what a freshly
// started process has, its load and unload as the C runtime runs them, and its exports by
// number.
#pragma once

#include <new>

#include "cardtag_load.h"
#include "fuzz_support.h"

namespace fuzz {

using cardtag_test::CardtagFile;
using cardtag_test::kCardtagPath;

// The identity library's process-wide state as a process has it before the library is
// loaded, and the class library's chain emptied of whatever an earlier run left linked.
inline void ResetCardtagLibrary() {
    cardtag_test::ResetLibraryState();
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    while (CDynLinkLibrary* pLib = pState->pLibraries) {
        pState->pLibraries = pLib->m_pNext;
        delete pLib;
    }
}

// One of the eleven identity exports, by number, with the index for the two indexed ones.
enum class TextKind { PPID, ModelName, Count };
struct ExportCall {
    const char* szName;
    TextKind kind;
    int nAdapter;       // the adapter whose record the gate reads (-1: the count export)
    bool bPerAdapter;   // the per-adapter extraction (MultiGetVGAPPID) runs, not the adapter-0 one
    const char* (*pfnText)(void);
    const char* (*pfnIndexed)(int);
};

inline ExportCall ChooseExport(uint32_t nChoice, int nIndex) {
    switch (nChoice % 11) {
    case 0: return {"GetVGAModleName", TextKind::ModelName, 0, false, &GetVGAModleName, nullptr};
    case 1: return {"GetVGAPPID_Num", TextKind::PPID, 0, false, &GetVGAPPID_Num, nullptr};
    case 2: return {"GetVGAModleName1", TextKind::ModelName, 1, true, &GetVGAModleName1, nullptr};
    case 3: return {"GetVGAModleName2", TextKind::ModelName, 2, true, &GetVGAModleName2, nullptr};
    case 4: return {"GetVGAModleName3", TextKind::ModelName, 3, true, &GetVGAModleName3, nullptr};
    case 5: return {"GetVGAPPID_Num1", TextKind::PPID, 1, true, &GetVGAPPID_Num1, nullptr};
    case 6: return {"GetVGAPPID_Num2", TextKind::PPID, 2, true, &GetVGAPPID_Num2, nullptr};
    case 7: return {"GetVGAPPID_Num3", TextKind::PPID, 3, true, &GetVGAPPID_Num3, nullptr};
    case 8: return {"MultiGetModleName", TextKind::ModelName, nIndex, true, nullptr, &MultiGetModleName};
    case 9: return {"MultiGetVGAPPID_Num", TextKind::PPID, nIndex, true, nullptr, &MultiGetVGAPPID_Num};
    default: return {"GetTELOVGACard", TextKind::Count, -1, false, nullptr, nullptr};
    }
}

inline const char* CallText(const ExportCall& call) {
    return call.pfnText ? call.pfnText() : call.pfnIndexed(call.nAdapter);
}

// A text buffer of the library is NUL-terminated within its 61 bytes.
inline bool Terminated(const char (&sz)[kIdentityTextMax + 1]) {
    return std::memchr(sz, 0, sizeof sz) != nullptr;
}

}  // namespace fuzz
