#include "classlib.h"

namespace {
AFX_MODULE_STATE g_moduleState;
bool g_bFailNextInit;
}  // namespace

namespace classlib {
void FailNextExtensionInit(bool fail) { g_bFailNextInit = fail; }
}  // namespace classlib

AFX_MODULE_STATE* AfxGetModuleState() { return &g_moduleState; }

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE hModule) {
    if (g_bFailNextInit) {
        g_bFailNextInit = false;
        return FALSE;
    }
    if (state.bInitialized)
        return TRUE;  // a second attach of the same module changes nothing
    state.hModule = hModule;
    state.hResource = hModule;
    state.bInitialized = TRUE;
    return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll) {
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    CDynLinkLibrary** ppLink = &pState->pLibraries;
    while (*ppLink) {
        CDynLinkLibrary* pLib = *ppLink;
        if (bAll || pLib->m_hModule == state.hModule) {
            *ppLink = pLib->m_pNext;
            delete pLib;  // unlinks nothing more: already out of the chain
        } else {
            ppLink = &pLib->m_pNext;
        }
    }
    state.bInitialized = FALSE;
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem)
    : m_hModule(state.hModule), m_bSystem(bSystem), m_pNext(nullptr) {
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    m_pNext = pState->pLibraries;
    pState->pLibraries = this;
    ++pState->nRegistered;
}

CDynLinkLibrary::~CDynLinkLibrary() { --AfxGetModuleState()->nRegistered; }
