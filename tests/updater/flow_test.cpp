// The update program's start: the identity library, the PPID and its markers.
#include <optional>

#include "harness.h"
#include "vrmset.h"

namespace {

// With the new values already in place an eligible board ends at the "latest" box after the
// three queries, so each case shows eligibility without running the whole update.
constexpr char kAllHold[] = "regs = 1A=97 23=78 1D=50";

struct EligibilityCase {
    const char* name;
    std::optional<std::string> ppid;  // nullopt: the library returns null
    bool bEligible;
};
void PrintTo(const EligibilityCase& c, std::ostream* os) { *os << c.name; }

const std::string k10K(10 * 1024, '7');

const EligibilityCase kEligibilityCases[] = {
    {"FirstMarkerAlone", "1402221898", true},
    {"FirstMarkerAtStart", "1402221898-CN-0X", true},
    {"SecondMarkerInMiddle", "CN0X1402226825DE", true},
    {"ThirdMarkerAtEnd", "CN0X-1403228981", true},
    {"EveryMarkerShortOfItsLastDigit", "CN140222189-140222682-140322898", false},
    {"OtherLastDigit", "1402221899", false},
    {"CutByNul", std::string("140222\0" "1898", 11), false},
    {"Null", std::nullopt, false},
    {"Empty", "", false},
    {"TenKilobytesMarkerAtEnd", k10K + "1403228981", true},
    {"TenKilobytesWithoutMarker", k10K, false},
    {"NonAsciiAroundMarker", "\x81\x40\xE9" "1402226825" "\xFF\xA0", true},
    {"NonAsciiWithoutMarker", "\x93\xFA\x96\x7B\xE9\xFF\x80", false},
};

class Eligibility : public UpdaterTest, public ::testing::WithParamInterface<EligibilityCase> {};

TEST_P(Eligibility, DecidesFromTheMarkers) {
    const EligibilityCase& c = GetParam();
    UseScenario(kAllHold);
    UsePPID(c.ppid ? c.ppid->c_str() : nullptr);
    Outcome out = Run();
    if (c.bEligible)
        ExpectOutcome({"", "", {kBoxLatest}, StateQueries(3), 0, false}, out);
    else
        ExpectOutcome({"", "", {kBoxNoUpdate}, {}, 0, false}, out);
    EXPECT_STREQ(g_strPPID, c.ppid ? c.ppid->c_str() : "") << "the program's copy of the PPID";
}

INSTANTIATE_TEST_SUITE_P(Cases, Eligibility, ::testing::ValuesIn(kEligibilityCases),
                         [](const auto& info) { return std::string(info.param.name); });

using IdentityLibrary = UpdaterTest;

const char kProgramFolder[] = "C:\\Program Files\\vrmset\\";

std::vector<std::string> LibraryLoads() {
    std::vector<std::string> out;
    for (const winstub::Event& e : winstub::Events(winstub::EventKind::LoadLibrary))
        if (e.text.find("cardtag") != std::string::npos) out.push_back(e.text);
    return out;
}

TEST_F(IdentityLibrary, LoadedByFullPathFromTheProgramFolder) {
    UseScenario(kAllHold);
    ExpectOutcome({"", "", {kBoxLatest}, StateQueries(3), 0, false}, Run());
    EXPECT_EQ(LibraryLoads(), std::vector<std::string>{std::string(kProgramFolder) + "cardtag.dll"});
}

TEST_F(IdentityLibrary, Missing) {
    UseCardTag(CardTag::Missing);
    ExpectOutcome({"", "", {kBoxNoUpdateLoadFailed}, {}, 0, false}, Run());
}

TEST_F(IdentityLibrary, WithoutTheExport) {
    UseCardTag(CardTag::NoExport);
    ExpectOutcome({"", "", {kBoxNoUpdate}, {}, 0, false}, Run());
}

// The program runs elevated: a copy on the search path is never taken.
TEST_F(IdentityLibrary, CopiesOutsideTheProgramFolderAreIgnored) {
    UseCardTag(CardTag::Missing);
    for (const char* szFolder : {"C:\\windows\\system32\\", "C:\\Users\\user\\"})
        AddCardTag(std::string(szFolder) + "cardtag.dll");
    ExpectOutcome({"", "", {kBoxNoUpdateLoadFailed}, {}, 0, false}, Run());
}

// The program's path decides where the library is looked for; a path that leaves no room for
// the library's name, or has no folder, is a load failure.
TEST_F(IdentityLibrary, ProgramPathLimits) {
    struct PathCase {
        const char* name;
        std::string folder;  // with its final backslash; empty: the bare file name
        bool bLoads;
    };
    const std::string kDeep = "C:\\" + std::string(236, 'd') + "\\";  // 240 characters
    const PathCase kPathCases[] = {
        // folder + "cardtag.dll" is 259 characters: fits MAX_PATH with its terminator.
        {"name fits exactly", kDeep + std::string(7, 'e') + "\\", true},
        {"one character too long", kDeep + std::string(8, 'e') + "\\", false},
        {"program path truncated", kDeep + std::string(30, 'e') + "\\", false},
        {"no folder", "", false},
    };
    for (const PathCase& c : kPathCases) {
        SCOPED_TRACE(c.name);
        SetUp();
        UseScenario(kAllHold);
        UseCardTag(CardTag::Missing);
        winstub::SetHostPath(c.folder + "vrmset.exe");
        // With no folder, a copy where a search by bare name would find it.
        AddCardTag((c.folder.empty() ? std::string(winstub::kDefaultCurrentDir) + "\\" : c.folder) +
                   "cardtag.dll");
        Outcome out = Run();
        if (c.bLoads) {
            ExpectOutcome({"", "", {kBoxLatest}, StateQueries(3), 0, false}, out);
            EXPECT_EQ(LibraryLoads(), std::vector<std::string>{c.folder + "cardtag.dll"});
        } else {
            ExpectOutcome({"", "", {kBoxNoUpdateLoadFailed}, {}, 0, false}, out);
            EXPECT_EQ(LibraryLoads(), std::vector<std::string>{});
        }
    }
}

int EntryWithArguments(int, char**, char** envp) {
    char szProgram[] = "vrmset.exe", szForce[] = "/force", szHelp[] = "--help";
    char* argv[] = {szProgram, szForce, szHelp, nullptr};
    return VrmsetMain(3, argv, envp);
}

TEST_F(IdentityLibrary, ArgumentsChangeNothing) {
    Outcome out = Run(&EntryWithArguments);
    ExpectOutcome({"", "", {kBoxWarning, kBoxWarning, kBoxCompleted},
                   StateQueries(1) + ProgramGroup(0) + CompletionQuery(), 1, true},
                  out);
}

}  // namespace
