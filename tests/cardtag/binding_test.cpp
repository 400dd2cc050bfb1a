// Binding of the access driver: where the driver is taken from, which exports land in which
// entry, and how the module is released.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "portio.h"
#include "winstub.h"

namespace {

// 33 distinct functions standing for the driver's exports.
template <int N>
int32_t __cdecl FakeExport() {
    return N;
}

template <int... N>
std::vector<void*> MakeFakeExports(std::integer_sequence<int, N...>) {
    return {reinterpret_cast<void*>(&FakeExport<N>)...};
}

const std::vector<void*>& FakeExports() {
    static const std::vector<void*> exports =
        MakeFakeExports(std::make_integer_sequence<int, 33>());
    return exports;
}

// The exported function that stands for a name.
void* FakeFor(const std::string& name) {
    for (int i = 0; i < 33; ++i) {
        if (name == kHwaxLookupOrder[i])
            return FakeExports()[i];
    }
    return nullptr;
}

// A driver file exporting every name but those in `missing`.
winstub::ModuleFile DriverFile(const std::string& path,
                               const std::vector<std::string>& missing = {}) {
    winstub::ModuleFile file{path, {}};
    for (const char* name : kHwaxLookupOrder) {
        if (std::find(missing.begin(), missing.end(), name) == missing.end())
            file.exports.push_back({name, FakeFor(name)});
    }
    return file;
}

// The member of the table for an export name, by the table's member order.
void* MemberFor(const HWAX_ENTRIES& entries, const std::string& name) {
    // clang-format off
#define MEMBER(x) \
    if (name == #x) return reinterpret_cast<void*>(entries.x);
    MEMBER(WriteI2CByte) MEMBER(WriteI2C) MEMBER(ReadI2CByte) MEMBER(ReadI2C)
    MEMBER(DetectI2CDevice) MEMBER(FindVGAChip) MEMBER(DefinePort) MEMBER(DefineBaseAddr9X)
    MEMBER(GetMapAddress) MEMBER(ReadMMIODword) MEMBER(WriteMMIODword) MEMBER(ReadMMIOWord)
    MEMBER(WriteMMIOWord) MEMBER(ReadMMIOByte) MEMBER(WriteMMIOByte) MEMBER(IsAGP30)
    MEMBER(IsPCIE) MEMBER(ReadBIOSMMIODword) MEMBER(ReadBIOSMMIOWord) MEMBER(ReadBIOSMMIOByte)
    MEMBER(BusTypeAndDataRate) MEMBER(GetPcicfgAddr) MEMBER(GetVGAMMIOAddress)
    MEMBER(GetVGABIOSAddress) MEMBER(GetDWORDVGAMMIOData) MEMBER(GetWORDVGAMMIOData)
    MEMBER(GetBYTEVGAMMIOData) MEMBER(WriteDWORDVGAMMIOData) MEMBER(WriteWORDVGAMMIOData)
    MEMBER(WriteBYTEVGAMMIOData) MEMBER(GetDWORDVGABIOSData) MEMBER(GetWORDVGABIOSData)
    MEMBER(GetBYTEVGABIOSData)
#undef MEMBER
        // clang-format on
        ADD_FAILURE()
        << "no member " << name;
    return nullptr;
}

const std::vector<std::string> kRequired = {
    "FindVGAChip",        "GetVGAMMIOAddress",   "GetVGABIOSAddress",  "BusTypeAndDataRate",
    "GetPcicfgAddr",      "GetDWORDVGAMMIOData", "GetBYTEVGAMMIOData", "WriteDWORDVGAMMIOData",
    "ReadMMIODword",      "WriteMMIODword",      "ReadBIOSMMIOWord",   "ReadBIOSMMIOByte",
    "GetWORDVGABIOSData", "GetBYTEVGABIOSData",
};

constexpr const char* kToolsHost = "C:\\Tools\\vrmset.exe";
constexpr const char* kToolsDriver = "C:\\Tools\\HWAX.DLL";

// A CPortIO in zeroed storage, as the library's global object starts.
class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        winstub::Reset();
        memset(m_storage, 0, sizeof(m_storage));
        m_pPort = new (m_storage) CPortIO;
    }
    void TearDown() override {
        if (m_pPort)
            m_pPort->~CPortIO();
    }
    void Destroy() {
        m_pPort->~CPortIO();
        m_pPort = nullptr;
    }

    alignas(CPortIO) unsigned char m_storage[sizeof(CPortIO)];
    CPortIO* m_pPort = nullptr;
};

TEST_F(BindingTest, BindsEveryExportIntoItsMemberInLookupOrder) {
    winstub::SetHostPath(kToolsHost);
    winstub::AddFile(DriverFile(kToolsDriver));

    ASSERT_EQ(m_pPort->Init(), 1);

    EXPECT_EQ(winstub::PathOf(m_pPort->m_hDriver), kToolsDriver);
    std::vector<std::string> looked;
    for (const winstub::Event& e : winstub::Events(winstub::EventKind::GetProcAddress)) {
        if (e.caption == kToolsDriver)
            looked.push_back(e.text);
    }
    EXPECT_EQ(looked,
              std::vector<std::string>(std::begin(kHwaxLookupOrder), std::end(kHwaxLookupOrder)));
    for (const char* name : kHwaxLookupOrder)
        EXPECT_EQ(MemberFor(m_pPort->m_Entry, name), FakeFor(name)) << name;
    EXPECT_TRUE(m_pPort->HasRequiredEntries());
}

// The driver is taken from the host executable's folder only, whatever the program is called.
TEST_F(BindingTest, DriverComesFromTheHostFolderOnly) {
    const std::string longFolder = "C:\\" + std::string(243, 'd');  // 246 characters
    struct Case {
        const char* what;
        std::string hostPath;
        std::string driverPath;  // where the only HWAX.DLL lies
        int expected;
    } cases[] = {
        {"host folder", kToolsHost, kToolsDriver, 1},
        {"other program name", "C:\\Tools\\updater-v2.exe", kToolsDriver, 1},
        {"current directory only", kToolsHost,
         std::string(winstub::kDefaultCurrentDir) + "\\HWAX.DLL", 0},
        {"system directory only", kToolsHost, std::string(winstub::kSystemDir) + "\\HWAX.DLL", 0},
        {"beside the library only", kToolsHost, "C:\\Program Files\\cardtag\\HWAX.DLL", 0},
        // 246 + "\HWAX.DLL" + NUL is exactly 256; one more folder character does not fit.
        {"name just fits", longFolder + "\\v.exe", longFolder + "\\HWAX.DLL", 1},
        {"no room for the name", longFolder + "x\\v.exe", longFolder + "x\\HWAX.DLL", 0},
        {"host path over 255", "C:\\" + std::string(260, 'p') + "\\vrmset.exe", "C:\\HWAX.DLL", 0},
        {"no backslash", "vrmset.exe", "C:\\HWAX.DLL", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winstub::Reset();
        memset(m_storage, 0, sizeof(m_storage));
        m_pPort = new (m_storage) CPortIO;
        winstub::SetHostPath(c.hostPath);
        winstub::AddFile(DriverFile(c.driverPath));

        EXPECT_EQ(m_pPort->Init(), c.expected);
        if (c.expected) {
            EXPECT_EQ(winstub::PathOf(m_pPort->m_hDriver), c.driverPath);
        } else {
            EXPECT_EQ(m_pPort->m_hDriver, nullptr);
            EXPECT_EQ(winstub::FindLoaded(c.driverPath), nullptr);
            EXPECT_FALSE(m_pPort->HasRequiredEntries());
        }
        m_pPort->~CPortIO();
    }
    m_pPort = nullptr;
}

TEST_F(BindingTest, Wow64AnswerIsKeptAndItsAbsenceDoesNotStopBinding) {
    struct Case {
        bool exportPresent;
        BOOL isWow64;
        BOOL expected;
    } cases[] = {{true, TRUE, TRUE}, {true, FALSE, FALSE}, {false, TRUE, FALSE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "export " << c.exportPresent << " wow64 " << c.isWow64);
        winstub::Reset();
        winstub::SetWow64(c.exportPresent, c.isWow64);
        winstub::SetHostPath(kToolsHost);
        winstub::AddFile(DriverFile(kToolsDriver));
        m_pPort->m_bIsWow64 = 7;  // stale value from an earlier binding
        m_pPort->m_bSkipPciCfg = 7;

        EXPECT_EQ(m_pPort->Init(), 1);
        EXPECT_EQ(m_pPort->m_bIsWow64, c.expected);
        EXPECT_EQ(m_pPort->m_bSkipPciCfg, FALSE);
        m_pPort->~CPortIO();
        memset(m_storage, 0, sizeof(m_storage));
        m_pPort = new (m_storage) CPortIO;
    }
}

// A driver that lacks exports binds; what it lacks stays null, and only the entries the
// library calls decide whether it can be used.
TEST_F(BindingTest, MissingExportsStayNullAndOnlyCalledOnesMatter) {
    std::vector<std::string> unused;
    for (const char* name : kHwaxLookupOrder) {
        if (std::find(kRequired.begin(), kRequired.end(), name) == kRequired.end())
            unused.push_back(name);
    }
    ASSERT_EQ(unused.size(), 19u);

    std::vector<std::vector<std::string>> missingSets = {unused};
    for (const std::string& name : kRequired)
        missingSets.push_back({name});

    winstub::SetHostPath(kToolsHost);
    for (const auto& missing : missingSets) {
        SCOPED_TRACE(missing.size() == 1 ? missing[0] : "all 19 unused");
        winstub::AddFile(DriverFile(kToolsDriver, missing));
        ASSERT_EQ(m_pPort->Init(), 1);
        for (const char* name : kHwaxLookupOrder) {
            bool bMissing = std::find(missing.begin(), missing.end(), name) != missing.end();
            EXPECT_EQ(MemberFor(m_pPort->m_Entry, name), bMissing ? nullptr : FakeFor(name))
                << name;
        }
        EXPECT_EQ(m_pPort->HasRequiredEntries(), missing.size() > 1);
    }
}

TEST_F(BindingTest, BindingAgainReleasesTheEarlierDriverFirst) {
    winstub::SetHostPath(kToolsHost);
    winstub::AddFile(DriverFile(kToolsDriver));
    ASSERT_EQ(m_pPort->Init(), 1);
    winstub::ClearTrace();

    ASSERT_EQ(m_pPort->Init(), 1);
    std::vector<winstub::EventKind> kinds;
    for (const winstub::Event& e : winstub::Trace()) {
        if (e.kind == winstub::EventKind::FreeLibrary || e.kind == winstub::EventKind::LoadLibrary)
            kinds.push_back(e.kind);
    }
    EXPECT_EQ(kinds, (std::vector<winstub::EventKind>{winstub::EventKind::FreeLibrary,
                                                      winstub::EventKind::LoadLibrary}));
    EXPECT_EQ(winstub::RefCount(m_pPort->m_hDriver), 1);

    // A reload that fails leaves nothing that points into the released module.
    winstub::RemoveFile(kToolsDriver);
    EXPECT_EQ(m_pPort->Init(), 0);
    EXPECT_EQ(winstub::FindLoaded(kToolsDriver), nullptr);
    EXPECT_EQ(m_pPort->m_hDriver, nullptr);
    for (const char* name : kHwaxLookupOrder)
        EXPECT_EQ(MemberFor(m_pPort->m_Entry, name), nullptr) << name;
    EXPECT_FALSE(m_pPort->HasRequiredEntries());
}

TEST_F(BindingTest, DestructionReleasesTheDriverOnce) {
    winstub::SetHostPath(kToolsHost);
    winstub::AddFile(DriverFile(kToolsDriver));
    ASSERT_EQ(m_pPort->Init(), 1);

    Destroy();

    EXPECT_EQ(winstub::Events(winstub::EventKind::FreeLibrary).size(), 1u);
    EXPECT_EQ(winstub::FindLoaded(kToolsDriver), nullptr);
}

TEST_F(BindingTest, DestructionWithoutDriverReleasesNothing) {
    EXPECT_EQ(m_pPort->Init(), 0);
    Destroy();
    EXPECT_TRUE(winstub::Events(winstub::EventKind::FreeLibrary).empty());
}

}  // namespace
