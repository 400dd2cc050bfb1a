// Native stand-in for the Win32 calls of this project. It models what the code relies on:
// the loader's search order and reference counts over modules that are in-memory PE images,
// last-error values, a clock that Sleep advances without waiting, message boxes that are
// answered at once, processes that run for a set time, and the token and shutdown calls.
// Every call that a test may want to see is appended to one trace.
#include <windows.h>
#include <mbstring.h>
#include <winstub.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace winstub {
namespace {

constexpr size_t kImageSize = 0x200;
constexpr LONG kNtHeaderOffset = 0x80;
constexpr DWORD ERROR_INVALID_HANDLE_ = 6;
constexpr DWORD ERROR_ACCESS_DENIED_ = 5;
constexpr DWORD ERROR_BAD_EXE_FORMAT_ = 193;
constexpr DWORD ERROR_DLL_INIT_FAILED_ = 1114;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE_ = 1313;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND_ = 203;
constexpr DWORD kShutdownPrivilegeLuid = 19;

struct Loaded {
    std::string path;
    std::unique_ptr<uint8_t[]> image;
    std::vector<Export> exports;
    BOOL (*dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
    int refs = 0;
    bool pinned = false;
    HMODULE Handle() const { return reinterpret_cast<HMODULE>(image.get()); }
};

struct Process {
    uint32_t runMs = 0;
    bool hangs = false;
    int64_t startUsec = 0;
    bool ended = false;
};

enum class HandleKind { Process, Thread, Token };

struct State {
    std::map<std::string, ModuleFile> files;       // by lower-case path
    std::map<std::string, ProgramFile> programs;   // by lower-case path
    std::vector<std::unique_ptr<Loaded>> loaded;
    std::unique_ptr<uint8_t[]> hostImage;
    std::string hostPath = kDefaultHostPath;
    std::string currentDir = kDefaultCurrentDir;
    std::vector<std::string> pathDirs;
    std::string systemDir = kSystemDir;
    bool failSystemDir = false;
    std::vector<DWORD> displays;
    bool enumDisplayExport = true;
    bool wow64Export = true;
    BOOL wow64 = FALSE;
    int localAllocFailAfter = -1;
    int liveLocalAllocs = 0;
    bool tokenOpenFails = false;
    bool tokenLookupFails = false;
    bool tokenAdjustFails = false;
    int lockEntries = 0;
    int lockDepth = 0;
    std::vector<Event> trace;
    std::function<void(const Event&)> boxHook;
    int64_t usec = 0;
    uintptr_t nextHandle = 0x1000;
    std::map<HANDLE, HandleKind> handles;
    std::map<HANDLE, Process> processes;
};

void InstallSystemModules();
std::unique_ptr<uint8_t[]> MakeImage(uint32_t checkSum, uint32_t timeDateStamp);

// The process as it starts: the host image and the system modules every process has.
State& S() {
    static State state;
    static bool ready = false;
    if (!ready) {
        ready = true;
        state.hostImage = MakeImage(0, 0);
        InstallSystemModules();
    }
    return state;
}

thread_local DWORD t_lastError = 0;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool HasSeparator(const std::string& s) { return s.find_first_of("\\/") != std::string::npos; }

std::string BaseName(const std::string& path) {
    size_t pos = path.find_last_of("\\/");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string DirName(const std::string& path) {
    size_t pos = path.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '\\' || dir.back() == '/') return dir + name;
    return dir + "\\" + name;
}

std::string WithDefaultExtension(const std::string& name, const char* ext) {
    std::string base = BaseName(name);
    return base.find('.') == std::string::npos ? name + ext : name;
}

Event& Record(EventKind kind) {
    Event e;
    e.kind = kind;
    e.usec = S().usec;
    S().trace.push_back(e);
    return S().trace.back();
}

std::unique_ptr<uint8_t[]> MakeImage(uint32_t checkSum, uint32_t timeDateStamp) {
    std::unique_ptr<uint8_t[]> image(new uint8_t[kImageSize]());
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image.get());
    dos->e_magic = IMAGE_DOS_SIGNATURE;
    dos->e_lfanew = kNtHeaderOffset;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(image.get() + kNtHeaderOffset);
    static_assert(kNtHeaderOffset + sizeof(IMAGE_NT_HEADERS) <= kImageSize);
    nt->Signature = IMAGE_NT_SIGNATURE;
    nt->FileHeader.Machine = 0x14C;
    nt->FileHeader.TimeDateStamp = timeDateStamp;
    nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER32);
    nt->OptionalHeader.Magic = 0x10B;
    nt->OptionalHeader.CheckSum = checkSum;
    return image;
}

Loaded* FindByHandle(HMODULE h) {
    for (auto& m : S().loaded)
        if (m->Handle() == h) return m.get();
    return nullptr;
}

Loaded* FindByPath(const std::string& path) {
    std::string key = Lower(path);
    for (auto& m : S().loaded)
        if (Lower(m->path) == key) return m.get();
    return nullptr;
}

Loaded* FindByBaseName(const std::string& name) {
    std::string key = Lower(BaseName(name));
    for (auto& m : S().loaded)
        if (Lower(BaseName(m->path)) == key) return m.get();
    return nullptr;
}

void Unload(Loaded* m) {
    auto& v = S().loaded;
    v.erase(std::remove_if(v.begin(), v.end(), [m](const auto& p) { return p.get() == m; }), v.end());
}

Loaded* MapFile(const ModuleFile& file) {
    auto m = std::make_unique<Loaded>();
    m->path = file.path;
    m->image = MakeImage(file.checkSum, file.timeDateStamp);
    m->exports = file.exports;
    m->dllMain = file.dllMain;
    m->refs = 1;
    Loaded* raw = m.get();
    S().loaded.push_back(std::move(m));
    return raw;
}

// Maps a module file and runs its attach notification; null when the attach refuses.
HMODULE LoadFile(const ModuleFile& file) {
    if (file.badImage) {
        t_lastError = ERROR_BAD_EXE_FORMAT_;
        return nullptr;
    }
    Loaded* m = MapFile(file);
    HMODULE h = m->Handle();
    if (m->dllMain && !m->dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
        // The loader tells the module it is going away and unmaps it.
        if (Loaded* again = FindByHandle(h)) {
            again->dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
            Unload(again);
        }
        t_lastError = ERROR_DLL_INIT_FAILED_;
        return nullptr;
    }
    return h;
}

const ModuleFile* FindFile(const std::string& path) {
    auto it = S().files.find(Lower(path));
    return it == S().files.end() ? nullptr : &it->second;
}

// The standard search order for a bare DLL name in a desktop application: the module
// already loaded under that name, the application's folder, the system folder, the
// Windows folder, the current folder, then PATH.
std::vector<std::string> DllSearchDirs(DWORD flags) {
    if (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) return {S().systemDir};
    std::vector<std::string> dirs = {DirName(S().hostPath), S().systemDir, "C:\\windows",
                                     S().currentDir};
    dirs.insert(dirs.end(), S().pathDirs.begin(), S().pathDirs.end());
    return dirs;
}

HMODULE LoadByName(const std::string& asked, DWORD flags) {
    Event& e = Record(EventKind::LoadLibrary);
    e.text = asked;
    e.a = flags;
    size_t index = S().trace.size() - 1;
    auto finish = [index](HMODULE h) {
        if (h) S().trace[index].caption = PathOf(h);
        return h;
    };

    std::string name = WithDefaultExtension(asked, ".dll");
    if (HasSeparator(name)) {
        if (Loaded* m = FindByPath(name)) {
            ++m->refs;
            return finish(m->Handle());
        }
        if (const ModuleFile* f = FindFile(name)) return finish(LoadFile(*f));
        t_lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    if (Loaded* m = FindByBaseName(name)) {
        ++m->refs;
        return finish(m->Handle());
    }
    for (const std::string& dir : DllSearchDirs(flags)) {
        if (const ModuleFile* f = FindFile(Join(dir, name))) {
            ModuleFile copy = *f;  // the attach may add files; keep ours stable
            return finish(LoadFile(copy));
        }
    }
    t_lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

HANDLE NewHandle(HandleKind kind) {
    HANDLE h = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    S().handles[h] = kind;
    return h;
}

std::string Narrow(LPCWSTR w) {
    std::string s;
    for (; w && *w; ++w) s.push_back(*w < 0x80 ? static_cast<char>(*w) : '?');
    return s;
}

// Where CreateProcessA finds a program named without a folder.
std::string ResolveProgram(const std::string& name) {
    std::string withExt = WithDefaultExtension(name, ".exe");
    if (HasSeparator(withExt)) return S().programs.count(Lower(withExt)) ? withExt : std::string();
    std::vector<std::string> dirs = {DirName(S().hostPath), S().currentDir, S().systemDir,
                                     "C:\\windows"};
    dirs.insert(dirs.end(), S().pathDirs.begin(), S().pathDirs.end());
    for (const std::string& dir : dirs) {
        std::string path = Join(dir, withExt);
        if (S().programs.count(Lower(path))) return path;
    }
    return std::string();
}

std::string FirstToken(const char* commandLine) {
    std::string s = commandLine ? commandLine : "";
    if (!s.empty() && s[0] == '"') {
        size_t end = s.find('"', 1);
        return s.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return s.substr(0, s.find_first_of(" \t"));
}

BOOL WINAPI StubIsWow64Process(HANDLE, PBOOL pb) {
    if (pb) *pb = S().wow64;
    return TRUE;
}

void InstallSystemModules() {
    ModuleFile kernel32{std::string(S().systemDir) + "\\kernel32.dll", {}};
    if (S().wow64Export)
        kernel32.exports.push_back({"IsWow64Process", reinterpret_cast<void*>(&StubIsWow64Process)});
    ModuleFile user32{std::string(S().systemDir) + "\\user32.dll", {}};
    if (S().enumDisplayExport)
        user32.exports.push_back({"EnumDisplayDevicesA", reinterpret_cast<void*>(&EnumDisplayDevicesA)});
    for (ModuleFile* f : {&kernel32, &user32}) {
        if (Loaded* old = FindByPath(f->path)) Unload(old);
        Loaded* m = MapFile(*f);
        m->pinned = true;
    }
}

}  // namespace

void Reset() {
    State& s = S();
    s.~State();
    new (&s) State();
    t_lastError = 0;
    s.hostImage = MakeImage(0, 0);
    InstallSystemModules();
}

void AddFile(const ModuleFile& file) { S().files[Lower(file.path)] = file; }
void RemoveFile(const std::string& path) { S().files.erase(Lower(path)); }
void AddProgram(const ProgramFile& program) { S().programs[Lower(program.path)] = program; }

HMODULE Preload(const ModuleFile& file) { return LoadFile(file); }

void SetImageIdentity(HMODULE module, uint32_t checkSum, uint32_t timeDateStamp) {
    Loaded* m = FindByHandle(module);
    if (!m) return;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(m->image.get() + kNtHeaderOffset);
    nt->OptionalHeader.CheckSum = checkSum;
    nt->FileHeader.TimeDateStamp = timeDateStamp;
}

HMODULE FindLoaded(const std::string& pathOrName) {
    Loaded* m = HasSeparator(pathOrName) ? FindByPath(pathOrName) : FindByBaseName(pathOrName);
    return m ? m->Handle() : nullptr;
}

int RefCount(HMODULE module) {
    Loaded* m = FindByHandle(module);
    return m ? m->refs : 0;
}

std::string PathOf(HMODULE module) {
    Loaded* m = FindByHandle(module);
    return m ? m->path : std::string();
}

void SetHostPath(const std::string& path) { S().hostPath = path; }
void SetCurrentDir(const std::string& dir) { S().currentDir = dir; }
void SetPathDirs(const std::vector<std::string>& dirs) { S().pathDirs = dirs; }
void SetSystemDir(const std::string& dir) { S().systemDir = dir; }
void FailSystemDir(bool fail) { S().failSystemDir = fail; }
void SetDisplayDevices(const std::vector<DWORD>& stateFlags) { S().displays = stateFlags; }

void SetEnumDisplayDevicesExport(bool present) {
    S().enumDisplayExport = present;
    InstallSystemModules();
}

void SetWow64(bool exportPresent, BOOL isWow64) {
    S().wow64Export = exportPresent;
    S().wow64 = isWow64;
    InstallSystemModules();
}

void FailLocalAllocAfter(int n) { S().localAllocFailAfter = n; }

void SetTokenFaults(bool openFails, bool lookupFails, bool adjustFails) {
    S().tokenOpenFails = openFails;
    S().tokenLookupFails = lookupFails;
    S().tokenAdjustFails = adjustFails;
}

const std::vector<Event>& Trace() { return S().trace; }

std::vector<Event> Events(EventKind kind) {
    std::vector<Event> out;
    for (const Event& e : S().trace)
        if (e.kind == kind) out.push_back(e);
    return out;
}

void ClearTrace() { S().trace.clear(); }
void SetBoxHook(std::function<void(const Event&)> hook) { S().boxHook = std::move(hook); }
int64_t NowUsec() { return S().usec; }
int LiveLocalAllocs() { return S().liveLocalAllocs; }
int LockEntries() { return S().lockEntries; }
int LockDepth() { return S().lockDepth; }

int RunEntry(int (*entry)(int, char**, char**)) {
    static char program[] = "vrmset.exe";
    char* argv[] = {program, nullptr};
    char* envp[] = {nullptr};
    try {
        return entry(1, argv, envp);
    } catch (const ProcessExit& exit) {
        return static_cast<int>(exit.code);
    }
}

}  // namespace winstub

using namespace winstub;

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName) {
        t_lastError = ERROR_BAD_ARGUMENTS;
        return nullptr;
    }
    return LoadByName(lpLibFileName, 0);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE, DWORD dwFlags) {
    if (!lpLibFileName) {
        t_lastError = ERROR_BAD_ARGUMENTS;
        return nullptr;
    }
    return LoadByName(Narrow(lpLibFileName), dwFlags);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return reinterpret_cast<HMODULE>(S().hostImage.get());
    std::string name = WithDefaultExtension(lpModuleName, ".dll");
    Loaded* m = HasSeparator(name) ? FindByPath(name) : FindByBaseName(name);
    if (!m) {
        t_lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return m->Handle();
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!hModule || hModule == reinterpret_cast<HMODULE>(S().hostImage.get())) {
        path = S().hostPath;
    } else if (Loaded* m = FindByHandle(hModule)) {
        path = m->path;
    } else {
        t_lastError = ERROR_MOD_NOT_FOUND;
        return 0;
    }
    if (nSize == 0) {
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    if (path.size() >= nSize) {
        // Truncated and terminated, as since Vista; the full size signals the truncation.
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    if (S().failSystemDir) return 0;
    const std::string& dir = S().systemDir;
    if (!lpBuffer || uSize < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
    for (size_t i = 0; i < dir.size(); ++i) lpBuffer[i] = static_cast<WCHAR>(dir[i]);
    lpBuffer[dir.size()] = 0;
    return static_cast<UINT>(dir.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (S().failSystemDir) return 0;
    const std::string& dir = S().systemDir;
    if (!lpBuffer || uSize < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
    memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Loaded* m = FindByHandle(hModule);
    Event& e = Record(EventKind::GetProcAddress);
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {  // ordinals are not modelled
        t_lastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    e.text = lpProcName;
    if (!m) {
        t_lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    e.caption = m->path;
    for (const Export& x : m->exports) {
        if (x.name == lpProcName) {
            e.a = 1;
            return reinterpret_cast<FARPROC>(x.fn);
        }
    }
    t_lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Loaded* m = FindByHandle(hLibModule);
    if (!m) {
        t_lastError = ERROR_INVALID_HANDLE_;
        return FALSE;
    }
    Record(EventKind::FreeLibrary).text = m->path;
    if (m->pinned) return TRUE;
    if (--m->refs > 0) return TRUE;
    if (m->dllMain) m->dllMain(reinterpret_cast<HINSTANCE>(hLibModule), DLL_PROCESS_DETACH, nullptr);
    if (Loaded* again = FindByHandle(hLibModule)) Unload(again);
    return TRUE;
}

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    return StubIsWow64Process(hProcess, Wow64Process);
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

void WINAPI ExitProcess(UINT uExitCode) { throw ProcessExit{uExitCode}; }

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID, LPCSTR,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    Event& e = Record(EventKind::CreateProcess);
    e.text = lpCommandLine ? lpCommandLine : "";
    e.extra = lpApplicationName ? lpApplicationName : "";
    e.a = dwCreationFlags;
    if (lpStartupInfo) {
        e.b = lpStartupInfo->cb;
        e.c = lpStartupInfo->dwFlags;
        e.d = lpStartupInfo->wShowWindow;
    }
    size_t index = S().trace.size() - 1;

    std::string path;
    if (lpApplicationName) {
        std::string app = lpApplicationName;
        path = HasSeparator(app) ? app : Join(S().currentDir, app);
        if (!S().programs.count(Lower(path))) path.clear();
    } else {
        path = ResolveProgram(FirstToken(lpCommandLine));
    }
    if (path.empty() || !lpProcessInformation) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    const ProgramFile program = S().programs[Lower(path)];
    S().trace[index].caption = program.path;

    HANDLE hProcess = NewHandle(HandleKind::Process);
    HANDLE hThread = NewHandle(HandleKind::Thread);
    Process p;
    p.runMs = program.runMs;
    p.hangs = program.hangs;
    p.startUsec = S().usec;
    S().processes[hProcess] = p;
    lpProcessInformation->hProcess = hProcess;
    lpProcessInformation->hThread = hThread;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(hProcess));
    lpProcessInformation->dwThreadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(hThread));
    if (program.run) program.run();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Event& e = Record(EventKind::WaitForObject);
    e.a = dwMilliseconds;
    size_t index = S().trace.size() - 1;
    auto it = S().processes.find(hHandle);
    DWORD result;
    if (it == S().processes.end()) {
        t_lastError = ERROR_INVALID_HANDLE_;
        result = WAIT_FAILED;
    } else {
        Process& p = it->second;
        int64_t endUsec = p.startUsec + static_cast<int64_t>(p.runMs) * 1000;
        int64_t limitUsec = dwMilliseconds == INFINITE
                                ? INT64_MAX
                                : S().usec + static_cast<int64_t>(dwMilliseconds) * 1000;
        if (p.ended || (!p.hangs && endUsec <= limitUsec)) {
            S().usec = std::max(S().usec, p.ended ? S().usec : endUsec);
            p.ended = true;
            result = WAIT_OBJECT_0;
        } else if (dwMilliseconds == INFINITE) {
            result = WAIT_FAILED;  // a wait that would never end; report instead of hanging
        } else {
            S().usec = limitUsec;
            result = WAIT_TIMEOUT;
        }
    }
    S().trace[index].b = result;
    return result;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    Record(EventKind::TerminateProcess).a = uExitCode;
    auto it = S().processes.find(hProcess);
    if (it == S().processes.end()) {
        t_lastError = ERROR_INVALID_HANDLE_;
        return FALSE;
    }
    it->second.ended = true;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Record(EventKind::CloseHandle).a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hObject));
    if (!S().handles.erase(hObject)) {
        t_lastError = ERROR_INVALID_HANDLE_;
        return FALSE;
    }
    S().processes.erase(hObject);
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    Record(EventKind::Sleep).a = dwMilliseconds;
    S().usec += static_cast<int64_t>(dwMilliseconds) * 1000;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    // One tick per call keeps every reading distinct, so events order strictly.
    lpPerformanceCount->QuadPart = ++S().usec;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = 1000000;
    return TRUE;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(S().usec / 1000); }

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const char* value = lpName ? getenv(lpName) : nullptr;
    if (!value) {
        t_lastError = ERROR_ENVVAR_NOT_FOUND_;
        return 0;
    }
    size_t len = strlen(value);
    if (!lpBuffer || nSize <= len) return static_cast<DWORD>(len + 1);
    memcpy(lpBuffer, value, len + 1);
    return static_cast<DWORD>(len);
}

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
DWORD WINAPI GetLastError(void) { return t_lastError; }

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    State& s = S();
    if (s.localAllocFailAfter == 0) {
        s.localAllocFailAfter = -1;
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (s.localAllocFailAfter > 0) --s.localAllocFailAfter;
    size_t n = uBytes ? uBytes : 1;
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, n) : malloc(n);
    if (p) ++s.liveLocalAllocs;
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (hMem) {
        free(hMem);
        --S().liveLocalAllocs;
    }
    return nullptr;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    memset(cs, 0, sizeof(*cs));
    cs->LockCount = -1;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    ++cs->RecursionCount;
    ++S().lockEntries;
    ++S().lockDepth;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    --cs->RecursionCount;
    --S().lockDepth;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION) {}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    Event& e = Record(EventKind::MessageBox);
    e.text = lpText ? lpText : "";
    e.caption = lpCaption ? lpCaption : "Error";
    e.a = uType;
    e.b = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hWnd));
    Event copy = e;
    if (S().boxHook) S().boxHook(copy);
    return IDOK;
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    // The Windows function writes at most 1024 characters including the terminator.
    va_list args;
    va_start(args, lpFmt);
    int n = vsnprintf(lpOut, 1024, lpFmt, args);
    va_end(args);
    return n < 0 ? 0 : std::min(n, 1023);
}

BOOL WINAPI EnumDisplayDevicesA(LPCSTR, DWORD iDevNum, PDISPLAY_DEVICEA lpDisplayDevice, DWORD) {
    if (!lpDisplayDevice || lpDisplayDevice->cb < offsetof(DISPLAY_DEVICEA, StateFlags) + 4 ||
        iDevNum >= S().displays.size())
        return FALSE;
    snprintf(lpDisplayDevice->DeviceName, sizeof(lpDisplayDevice->DeviceName), "\\\\.\\DISPLAY%lu",
             static_cast<unsigned long>(iDevNum + 1));
    lpDisplayDevice->StateFlags = S().displays[iDevNum];
    return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    Event& e = Record(EventKind::OpenProcessToken);
    e.a = DesiredAccess;
    e.b = ProcessHandle == GetCurrentProcess();
    if (S().tokenOpenFails || !TokenHandle) {
        t_lastError = ERROR_ACCESS_DENIED_;
        return FALSE;
    }
    *TokenHandle = NewHandle(HandleKind::Token);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    Event& e = Record(EventKind::LookupPrivilege);
    e.text = lpName ? lpName : "";
    e.caption = lpSystemName ? lpSystemName : "";
    if (S().tokenLookupFails || !lpName || strcmp(lpName, SE_SHUTDOWN_NAME) != 0 || !lpLuid) {
        t_lastError = ERROR_NO_SUCH_PRIVILEGE_;
        return FALSE;
    }
    lpLuid->LowPart = kShutdownPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD, PTOKEN_PRIVILEGES PreviousState,
                                  LPDWORD) {
    Event& e = Record(EventKind::AdjustPrivileges);
    e.a = static_cast<uint32_t>(DisableAllPrivileges);
    if (NewState) {
        e.b = NewState->PrivilegeCount;
        e.c = NewState->Privileges[0].Attributes;
        e.d = NewState->Privileges[0].Luid.LowPart;
    }
    if (PreviousState) e.text = "prev";
    auto it = S().handles.find(TokenHandle);
    if (S().tokenAdjustFails || it == S().handles.end() || it->second != HandleKind::Token) {
        t_lastError = ERROR_ACCESS_DENIED_;
        return FALSE;
    }
    t_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    Event& e = Record(EventKind::ExitWindows);
    e.a = uFlags;
    e.b = dwReason;
    return TRUE;
}

unsigned char* _mbsstr(const unsigned char* str, const unsigned char* substr) {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(
        strstr(reinterpret_cast<const char*>(str), reinterpret_cast<const char*>(substr))));
}
