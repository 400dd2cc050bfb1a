// The few pieces of the Windows class library that this project uses, written here because
// no class library is available to this build: a text string, and the registration of an
// extension library with its module state. Both builds (Windows and native) use this file.
#pragma once

#include <windows.h>

#include <string>

// An 8-bit text string that owns its characters.
class CString {
public:
    CString() = default;
    CString(const char* psz) { Assign(psz); }
    CString(const CString&) = default;
    CString& operator=(const CString&) = default;
    CString& operator=(const char* psz) {
        Assign(psz);
        return *this;
    }
    operator const char*() const { return m_str.c_str(); }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

private:
    void Assign(const char* psz) {
        if (psz)
            m_str.assign(psz);
        else
            m_str.clear();
    }
    std::string m_str;
};

// The registration record of an extension library.
struct AFX_EXTENSION_MODULE {
    BOOL bInitialized;
    HMODULE hModule;
    HMODULE hResource;
};

// Registers the module; FALSE when the class library cannot take it.
BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE hModule);
// Unregisters the module; with bAll, every extension library of the process.
void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll = FALSE);

// Links an extension library into the class library's chain of modules. The class library
// owns the object from its construction on and deletes it at termination.
class CDynLinkLibrary {
public:
    CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem = FALSE);
    ~CDynLinkLibrary();

    HMODULE m_hModule;
    BOOL m_bSystem;
    CDynLinkLibrary* m_pNext;
};

// Module state of the calling module: the list of linked extension libraries.
struct AFX_MODULE_STATE {
    CDynLinkLibrary* pLibraries;
    int nRegistered;
};
AFX_MODULE_STATE* AfxGetModuleState();

namespace classlib {
// Lets a test make the next AfxInitExtensionModule fail, to exercise a failed library load.
void FailNextExtensionInit(bool fail);
}  // namespace classlib
