// The stand-in's loader and clock are what every native test stands on; these cases pin
// the Windows behaviour it models.
#include <windows.h>
#include <winstub.h>

#include <gtest/gtest.h>

namespace {

int g_attachCalls;
int g_detachCalls;
BOOL g_attachAnswer;

BOOL CountingDllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ++g_attachCalls;
    if (reason == DLL_PROCESS_DETACH) ++g_detachCalls;
    return reason == DLL_PROCESS_ATTACH ? g_attachAnswer : TRUE;
}

class StandIn : public ::testing::Test {
protected:
    void SetUp() override {
        winstub::Reset();
        g_attachCalls = g_detachCalls = 0;
        g_attachAnswer = TRUE;
    }
};

TEST_F(StandIn, BareNameFollowsTheDesktopSearchOrder) {
    struct Case {
        std::vector<std::string> copies;
        std::string expected;
    };
    const std::string app = "C:\\Program Files\\vrmset\\x.dll";
    const std::string sys = "C:\\windows\\system32\\x.dll";
    const std::string cwd = "C:\\Users\\user\\x.dll";
    const std::string onPath = "D:\\bin\\x.dll";
    const Case cases[] = {
        {{onPath, cwd, sys, app}, app},
        {{onPath, cwd, sys}, sys},
        {{onPath, cwd}, cwd},
        {{onPath}, onPath},
        {{}, ""},
    };
    for (const Case& c : cases) {
        winstub::Reset();
        winstub::SetPathDirs({"D:\\bin"});
        for (const std::string& path : c.copies) winstub::AddFile({path, {}});
        HMODULE h = LoadLibraryA("x.dll");
        EXPECT_EQ(winstub::PathOf(h), c.expected);
        if (!h) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        }
    }
}

TEST_F(StandIn, SystemOnlyFlagRestrictsTheSearch) {
    winstub::AddFile({"C:\\Program Files\\vrmset\\x.dll", {}});
    const WCHAR name[] = {'x', '.', 'd', 'l', 'l', 0};
    EXPECT_EQ(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
}

TEST_F(StandIn, RefusedAttachUnloadsAfterDetach) {
    g_attachAnswer = FALSE;
    winstub::AddFile({"C:\\a\\y.dll", {}, 0, 0, &CountingDllMain});
    EXPECT_EQ(LoadLibraryA("C:\\a\\y.dll"), nullptr);
    EXPECT_EQ(g_attachCalls, 1);
    EXPECT_EQ(g_detachCalls, 1);
    EXPECT_EQ(winstub::FindLoaded("y.dll"), nullptr);
}

TEST_F(StandIn, ReferencesCountAndLastFreeDetaches) {
    winstub::AddFile({"C:\\a\\y.dll", {{"F", reinterpret_cast<void*>(&CountingDllMain)}}, 7, 9,
                      &CountingDllMain});
    HMODULE h1 = LoadLibraryA("C:\\a\\y.dll");
    HMODULE h2 = LoadLibraryA("y.dll");  // already loaded under that name
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(winstub::RefCount(h1), 2);
    EXPECT_NE(GetProcAddress(h1, "F"), nullptr);
    EXPECT_EQ(GetProcAddress(h1, "G"), nullptr);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(h1);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(reinterpret_cast<BYTE*>(h1) + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.CheckSum, 7u);
    EXPECT_EQ(nt->FileHeader.TimeDateStamp, 9u);
    FreeLibrary(h1);
    EXPECT_EQ(g_detachCalls, 0);
    FreeLibrary(h1);
    EXPECT_EQ(g_detachCalls, 1);
    EXPECT_EQ(winstub::RefCount(h1), 0);
}

TEST_F(StandIn, ModuleFileNameTruncatesLikeWindows) {
    winstub::SetHostPath("C:\\Tools\\vrmset.exe");
    char buf[8];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), sizeof buf);
    EXPECT_STREQ(buf, "C:\\Tool");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char full[64];
    EXPECT_EQ(GetModuleFileNameA(nullptr, full, sizeof full), 19u);
}

TEST_F(StandIn, ProgramsRunForTheirTimeAndSleepAdvancesTheClock) {
    bool ran = false;
    winstub::AddProgram({"C:\\Tools\\spin.exe", [&] { ran = true; }, 300});
    winstub::SetHostPath("C:\\Tools\\vrmset.exe");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    char cmd[] = "spin.exe";
    ASSERT_TRUE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_TRUE(ran);
    int64_t t0 = winstub::NowUsec();
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(winstub::NowUsec() - t0, 300000);
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_FALSE(CloseHandle(pi.hProcess));
    Sleep(150);
    EXPECT_EQ(winstub::NowUsec() - t0, 450000);
    char missing[] = "other.exe";
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
}

TEST_F(StandIn, LocalAllocFailsOnRequest) {
    winstub::FailLocalAllocAfter(1);
    HLOCAL a = LocalAlloc(LMEM_ZEROINIT, 4);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 4), nullptr);
    EXPECT_EQ(winstub::LiveLocalAllocs(), 1);
    LocalFree(a);
    EXPECT_EQ(winstub::LiveLocalAllocs(), 0);
}

TEST_F(StandIn, ExitProcessEndsTheEntryWithItsCode) {
    auto entry = +[](int, char**, char**) -> int {
        ExitProcess(3);
    };
    EXPECT_EQ(winstub::RunEntry(entry), 3);
}

}  // namespace
