// The eleven exported functions. Every identity export reruns the extraction for its adapter
// first and only then looks at the adapter's record, so the ROM window is switched and the
// texts are rewritten also for an adapter that is not the board maker's.
#include "exports.h"

#include "vgainfo.h"

// The library's one object. Static storage is zero before construction, which sets nothing
// but the class identity; its destructor releases the access driver at unload.
CVGAInfo g_VGAInfo;

namespace {

enum class IdentityText { PPID, ModelName };

bool IsBoardMakerRecord(int nAdapter) {
    // The whole 32-bit field is compared: bits above the low 16 fail the gate.
    return g_VGAInfo.m_VGAChip[nAdapter].nSubVendorID == kBoardVendorId;
}

const char* GatedText(int nAdapter, IdentityText which) {
    if (!IsBoardMakerRecord(nAdapter))
        return nullptr;
    return which == IdentityText::PPID ? g_VGAInfo.m_BINFO.szBIOSPPID
                                       : g_VGAInfo.m_BINFO.szBIOSModelName;
}

const char* IdentityOfAdapter0(IdentityText which) {
    {
        CString strPPID;
        g_VGAInfo.GetVGAPPID(strPPID);
    }
    return GatedText(0, which);
}

const char* IdentityOfAdapter(int nAdapter, IdentityText which) {
    // An index outside the table has no record to pass the gate: nothing is read for it.
    if (nAdapter < 0 || nAdapter >= kMaxAdapters)
        return nullptr;
    {
        CString strPPID;
        g_VGAInfo.MultiGetVGAPPID(strPPID, nAdapter);
    }
    return GatedText(nAdapter, which);
}

}  // namespace

extern "C" {

int __cdecl GetTELOVGACard(void) {
    // All 8 records, whatever the adapter count says: unfilled records are zero.
    int nCount = 0;
    for (int i = 0; i < kMaxAdapters; ++i) {
        if (IsBoardMakerRecord(i))
            ++nCount;
    }
    return nCount;
}

const char* __cdecl GetVGAModleName(void) { return IdentityOfAdapter0(IdentityText::ModelName); }
const char* __cdecl GetVGAPPID_Num(void) { return IdentityOfAdapter0(IdentityText::PPID); }

const char* __cdecl GetVGAModleName1(void) { return IdentityOfAdapter(1, IdentityText::ModelName); }
const char* __cdecl GetVGAModleName2(void) { return IdentityOfAdapter(2, IdentityText::ModelName); }
const char* __cdecl GetVGAModleName3(void) { return IdentityOfAdapter(3, IdentityText::ModelName); }
const char* __cdecl GetVGAPPID_Num1(void) { return IdentityOfAdapter(1, IdentityText::PPID); }
const char* __cdecl GetVGAPPID_Num2(void) { return IdentityOfAdapter(2, IdentityText::PPID); }
const char* __cdecl GetVGAPPID_Num3(void) { return IdentityOfAdapter(3, IdentityText::PPID); }

const char* __cdecl MultiGetModleName(int nIndex) {
    return IdentityOfAdapter(nIndex, IdentityText::ModelName);
}
const char* __cdecl MultiGetVGAPPID_Num(int nIndex) {
    return IdentityOfAdapter(nIndex, IdentityText::PPID);
}

}  // extern "C"
