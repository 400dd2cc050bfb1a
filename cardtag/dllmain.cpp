// Load and unload of the library. The C runtime constructs g_VGAInfo before DllMain sees the
// process attach and destroys it (releasing the access driver) after DllMain sees the detach,
// or at once when DllMain fails the attach.
#include <new>

#include "exports.h"
#include "vgainfo.h"

AFX_EXTENSION_MODULE g_ExtensionModule;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        // Discovery runs inside the host's load call, so the adapter table is complete when
        // the load returns. Called directly, not through the virtual table. A driver that
        // does not load or finds no adapter does not fail the load: the exports then answer
        // null.
        g_VGAInfo.CVGAInfo::Init();

        if (!AfxInitExtensionModule(g_ExtensionModule, hInstance))
            return FALSE;

        // The class library owns the link object from here on. Without memory the library
        // still works, unlinked.
        new (std::nothrow) CDynLinkLibrary(g_ExtensionModule, FALSE);
    } else if (dwReason == DLL_PROCESS_DETACH) {
        AfxTermExtensionModule(g_ExtensionModule, FALSE);
    }
    return TRUE;
}
