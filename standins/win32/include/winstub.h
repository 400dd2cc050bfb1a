// Control of the native Win32 stand-in: what is "on disk", what is loaded, which calls fail,
// and the record of what the code under test called. Only tests and simulators include this;
// product code sees nothing but <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winstub {

// ExitProcess throws this, so a test can run an entry function to its end and read the code.
struct ProcessExit {
    unsigned code;
};

enum class EventKind {
    MessageBox,        // text, caption, a = style, b = owner window
    Sleep,             // a = milliseconds
    OpenProcessToken,  // a = desired access, b = process handle is the current process
    LookupPrivilege,   // text = privilege name, caption = system name ("" for null)
    AdjustPrivileges,  // a = disable-all flag, b = privilege count, c = attributes of entry 0,
                       // d = LUID low part of entry 0, text = "prev" when a previous-state
                       // buffer was given
    ExitWindows,       // a = flags, b = reason
    LoadLibrary,       // text = name as asked, caption = path loaded ("" when it failed), a = flags
    FreeLibrary,       // text = path of the module
    CreateProcess,     // text = command line, caption = path started ("" when it failed),
                       // a = creation flags, b = STARTUPINFOA.cb, c = STARTUPINFOA.dwFlags,
                       // d = STARTUPINFOA.wShowWindow; application name in `extra`
    GetProcAddress,    // text = name asked, caption = module path, a = 1 when found
    WaitForObject,     // a = milliseconds asked, b = result
    TerminateProcess,  // a = exit code
    CloseHandle,
};

struct Event {
    EventKind kind;
    std::string text;
    std::string caption;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
    uint32_t d = 0;
    std::string extra;
    int64_t usec = 0;  // stand-in clock when the call was made
};

struct Export {
    std::string name;
    void* fn;
};

// A DLL file at a full Windows path (backslashes, any case).
struct ModuleFile {
    std::string path;
    std::vector<Export> exports;
    uint32_t checkSum = 0;
    uint32_t timeDateStamp = 0;
    // Called with DLL_PROCESS_ATTACH when loaded, DLL_PROCESS_DETACH when the last reference
    // goes. A FALSE answer to the attach fails the load; the module then gets the detach and
    // is unloaded, as the Windows loader does.
    BOOL (*dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
    bool badImage = false;  // present on disk but not loadable
};

// A program that CreateProcessA can start. `run` is called when it starts; it ends by itself
// after `runMs` milliseconds of the stand-in clock, or never when `hangs` is set.
struct ProgramFile {
    std::string path;
    std::function<void()> run;
    uint32_t runMs = 0;
    bool hangs = false;
};

inline constexpr const char* kSystemDir = "C:\\windows\\system32";
inline constexpr const char* kDefaultHostPath = "C:\\Program Files\\vrmset\\vrmset.exe";
inline constexpr const char* kDefaultCurrentDir = "C:\\Users\\user";

// Back to a fresh process: no files, no modules but kernel32 and user32, empty trace,
// clock at 0, host path and current directory at their defaults, no faults.
void Reset();

void AddFile(const ModuleFile& file);
void RemoveFile(const std::string& path);
void AddProgram(const ProgramFile& program);
// A module already in the process, loaded by someone else (one reference).
HMODULE Preload(const ModuleFile& file);
// Rewrites the identity words in a loaded module's image, as if another image had been
// mapped under the same name.
void SetImageIdentity(HMODULE module, uint32_t checkSum, uint32_t timeDateStamp);
HMODULE FindLoaded(const std::string& pathOrName);  // null when not loaded
int RefCount(HMODULE module);                        // 0 when not loaded
std::string PathOf(HMODULE module);

void SetHostPath(const std::string& path);  // GetModuleFileNameA(NULL, ...)
void SetCurrentDir(const std::string& dir);
void SetPathDirs(const std::vector<std::string>& dirs);
void SetSystemDir(const std::string& dir);
void FailSystemDir(bool fail);  // GetSystemDirectoryW answers 0

void SetDisplayDevices(const std::vector<DWORD>& stateFlags);
void SetEnumDisplayDevicesExport(bool present);  // user32's EnumDisplayDevicesA
// kernel32's IsWow64Process: whether the export exists, and what it reports.
void SetWow64(bool exportPresent, BOOL isWow64);

// Faults.
void FailLocalAllocAfter(int n);  // the call after n more successful ones fails; -1: never
void SetTokenFaults(bool openFails, bool lookupFails, bool adjustFails);

// Observation.
const std::vector<Event>& Trace();
std::vector<Event> Events(EventKind kind);
void ClearTrace();
void SetBoxHook(std::function<void(const Event&)> hook);
int64_t NowUsec();
int LiveLocalAllocs();
int LockEntries();  // EnterCriticalSection calls so far
int LockDepth();    // entered and not yet left

// Runs a program entry function; returns its result, or the code given to ExitProcess.
int RunEntry(int (*entry)(int, char**, char**));

}  // namespace winstub
