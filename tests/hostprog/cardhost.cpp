// cardhost: a small host program for the identity library alone. It loads cardtag.dll by full
// path (from its own folder unless -l names another), calls the exports named on the command
// line in order and writes one line per result to the file named by -o. Output goes to a file,
// never to the console: the Wine bench must not read a pipe that wineserver keeps open.
//
//   cardhost -o <out file> [-l <library path>] [-u] <call>...
//     <call>  an export name, or Name:index for MultiGetVGAPPID_Num and MultiGetModleName
//     -u      free the library after the calls (runs its unload handling)
//
// Output lines:
//   library <path>
//   load ok | load failed error=<GetLastError>
//   load_ms <milliseconds the load call took (discovery runs inside it)>
//   <call> = <int> | "<escaped text>" | NULL | missing
//   unload ok | unload failed error=<n>            (with -u)
// Exit code: 0 library loaded and every call made, 1 load failed, 2 bad command line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostcalls.h"

typedef int(__cdecl* PFN_COUNT)(void);
typedef const char*(__cdecl* PFN_TEXT)(void);
typedef const char*(__cdecl* PFN_TEXT_INDEX)(int);

namespace {

struct HOST_OPTIONS {
    const char* szOutFile = nullptr;
    const char* szLibrary = nullptr;
    bool bUnload = false;
    std::vector<const char*> calls;
};

void Usage(const char* szWhy)
{
    std::fprintf(stderr, "cardhost: %s\nusage: cardhost -o <out file> [-l <library>] [-u] <call>...\n",
                 szWhy);
}

bool ParseArgs(int argc, char** argv, HOST_OPTIONS& opt)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-o") || !std::strcmp(argv[i], "-l")) {
            if (i + 1 >= argc) {
                Usage("option without its value");
                return false;
            }
            (argv[i][1] == 'o' ? opt.szOutFile : opt.szLibrary) = argv[i + 1];
            ++i;
        } else if (!std::strcmp(argv[i], "-u")) {
            opt.bUnload = true;
        } else {
            opt.calls.push_back(argv[i]);
        }
    }
    if (!opt.szOutFile) {
        Usage("no output file (-o)");
        return false;
    }
    return true;
}

// The library path beside this executable.
std::string OwnFolderLibrary()
{
    char szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(nullptr, szPath, sizeof szPath);
    if (cch == 0 || cch >= sizeof szPath)
        return "cardtag.dll";
    char* pSlash = std::strrchr(szPath, '\\');
    std::string strFolder = pSlash ? std::string(szPath, pSlash - szPath + 1) : std::string();
    return strFolder + "cardtag.dll";
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return double(to.QuadPart - from.QuadPart) * 1000.0 / double(freq.QuadPart);
}

// Writes and flushes one line, so that what was done survives a crash in a later call.
void Line(FILE* pOut, const std::string& strLine)
{
    std::fprintf(pOut, "%s\n", strLine.c_str());
    std::fflush(pOut);
}

// GetProcAddress gives a generic pointer; the export's real type comes from the table.
template <typename PFN>
PFN As(FARPROC pfn)
{
    return reinterpret_cast<PFN>(reinterpret_cast<void (*)(void)>(pfn));
}

std::string CallExport(HMODULE hLib, const HOST_CALL& call)
{
    FARPROC pfn = GetProcAddress(hLib, call.pExport->szName);
    if (!pfn)
        return "missing";
    if (call.pExport->kind == ResultKind::Count)
        return std::to_string(As<PFN_COUNT>(pfn)());
    if (call.pExport->bTakesIndex)
        return FormatText(As<PFN_TEXT_INDEX>(pfn)(call.nIndex));
    return FormatText(As<PFN_TEXT>(pfn)());
}

}  // namespace

int main(int argc, char** argv)
{
    HOST_OPTIONS opt;
    if (!ParseArgs(argc, argv, opt))
        return 2;

    // Check every call before loading: a typo must not cost a discovery run.
    std::vector<HOST_CALL> calls(opt.calls.size());
    for (size_t i = 0; i < opt.calls.size(); ++i) {
        std::string strError;
        if (!ParseHostCall(opt.calls[i], calls[i], strError)) {
            Usage(strError.c_str());
            return 2;
        }
    }

    FILE* pOut = std::fopen(opt.szOutFile, "w");
    if (!pOut) {
        Usage("cannot create the output file");
        return 2;
    }

    std::string strLibrary = opt.szLibrary ? std::string(opt.szLibrary) : OwnFolderLibrary();
    Line(pOut, "library " + strLibrary);

    LARGE_INTEGER tBefore, tAfter;
    QueryPerformanceCounter(&tBefore);
    HMODULE hLib = LoadLibraryA(strLibrary.c_str());
    DWORD dwLoadError = GetLastError();
    QueryPerformanceCounter(&tAfter);
    if (!hLib) {
        Line(pOut, "load failed error=" + std::to_string(dwLoadError));
        std::fclose(pOut);
        return 1;
    }
    Line(pOut, "load ok");
    Line(pOut, "load_ms " + std::to_string(static_cast<long>(Milliseconds(tBefore, tAfter) + 0.5)));

    for (size_t i = 0; i < calls.size(); ++i)
        Line(pOut, std::string(opt.calls[i]) + " = " + CallExport(hLib, calls[i]));

    if (opt.bUnload) {
        if (FreeLibrary(hLib))
            Line(pOut, "unload ok");
        else
            Line(pOut, "unload failed error=" + std::to_string(GetLastError()));
    }
    std::fclose(pOut);
    return 0;
}
