#include "hostcalls.h"

#include <gtest/gtest.h>

#include <string>

TEST(HostCall, ParsesKnownExportsWithTheirArguments)
{
    struct Case {
        const char* szSpec;
        const char* szName;
        int32_t nIndex;
    } cases[] = {
        {"GetTELOVGACard", "GetTELOVGACard", 0},
        {"GetVGAPPID_Num3", "GetVGAPPID_Num3", 0},
        {"MultiGetVGAPPID_Num:0", "MultiGetVGAPPID_Num", 0},
        {"MultiGetModleName:7", "MultiGetModleName", 7},
        {"MultiGetVGAPPID_Num:-1", "MultiGetVGAPPID_Num", -1},
        {"MultiGetVGAPPID_Num:2147483647", "MultiGetVGAPPID_Num", 2147483647},
    };
    for (const Case& c : cases) {
        HOST_CALL call;
        std::string strError;
        ASSERT_TRUE(ParseHostCall(c.szSpec, call, strError)) << c.szSpec << ": " << strError;
        EXPECT_STREQ(call.pExport->szName, c.szName) << c.szSpec;
        EXPECT_EQ(call.nIndex, c.nIndex) << c.szSpec;
    }
}

TEST(HostCall, RejectsWhatWouldCallAnExportWrongly)
{
    const char* bad[] = {
        "GetVGAPPID_Num:0",       // the unnumbered export takes no argument
        "MultiGetVGAPPID_Num",    // the indexed one needs its argument
        "MultiGetVGAPPID_Num:",   //
        "MultiGetVGAPPID_Num:1x", //
        "MultiGetVGAPPID_Num:2147483648",
        "GetVGAPPID_num",         // names are exact, letter for letter
        "GetVGAModelName",        // the export is spelt "Modle"
        "",
    };
    for (const char* szSpec : bad) {
        HOST_CALL call;
        std::string strError;
        EXPECT_FALSE(ParseHostCall(szSpec, call, strError)) << szSpec;
        EXPECT_FALSE(strError.empty()) << szSpec;
    }
}

TEST(HostCall, KnowsTheElevenExportsInOrdinalOrder)
{
    for (size_t i = 1; i < std::size(g_HostExports); ++i)
        EXPECT_LT(std::string(g_HostExports[i - 1].szName), std::string(g_HostExports[i].szName));
    EXPECT_EQ(g_HostExports[0].kind, ResultKind::Count);
}

TEST(FormatText, KeepsEachResultOnOneUnambiguousLine)
{
    struct Case {
        const char* szText;
        const char* szWant;
    } cases[] = {
        {nullptr, "NULL"},
        {"", "\"\""},
        {"GV-N970 1402221898", "\"GV-N970 1402221898\""},
        {"a\"b\\c", "\"a\\x22b\\x5Cc\""},
        {"x\r\ny\x7F", "\"x\\x0D\\x0Ay\\x7F\""},
        {"\xE9\xFF", "\"\\xE9\\xFF\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatText(c.szText), c.szWant) << (c.szText ? c.szText : "(null)");
}
