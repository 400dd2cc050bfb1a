// What each wait of the user costs in calls, which is deterministic and so can be checked on
// every build; the benchmarks beside this file report what the same calls cost in time.
#include <gtest/gtest.h>

#include "alloc_count.h"
#include "exports.h"
#include "nvwrappers.h"
#include "perf_setups.h"
#include "vgainfo.h"
#include "winstub.h"

namespace {

// Whatever a test leaves loaded is unloaded, so that nothing is released twice at exit.
class PerfCounts : public ::testing::Test {
protected:
    void TearDown() override { perf::EndProcess(); }
};

TEST(WrapperFastPath, CallsOnlyTheEntryAndItsHooksWithoutLockLoaderOrHeap) {
    // The counter has to see a block, or the zero below would prove nothing.
    const uint64_t nBefore = perf::HeapAllocations();
    int* volatile pBlock = new int(1);
    delete pBlock;
    ASSERT_EQ(perf::HeapAllocations() - nBefore, 1u);

    ASSERT_TRUE(perf::BindTrivialDriver(true));
    perf::g_driverCalls = {};
    const int nLocks = winstub::LockEntries();
    const size_t nTraced = winstub::Trace().size();
    const uint64_t nAllocations = perf::HeapAllocations();

    constexpr int kCalls = 1000;
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    int nFailed = 0;
    for (int i = 0; i < kCalls; ++i)
        nFailed += NvAPI_I2CReadEx(reinterpret_cast<NvPhysicalGpuHandle>(0x100), &info, arg3) != 0;

    EXPECT_EQ(perf::HeapAllocations() - nAllocations, 0u) << "heap blocks taken by the fast path";
    EXPECT_EQ(nFailed, 0);
    EXPECT_EQ(winstub::LockEntries(), nLocks);
    EXPECT_EQ(winstub::Trace().size(), nTraced) << "no load, no GetProcAddress";
    EXPECT_EQ(perf::g_driverCalls.nResolver, 0);
    EXPECT_EQ(perf::g_driverCalls.nInitialize, 0);
    EXPECT_EQ(perf::g_driverCalls.nPreCallHook, kCalls);
    EXPECT_EQ(perf::g_driverCalls.nI2CReadEx, kCalls);
    EXPECT_EQ(perf::g_driverCalls.nPostCallHook, kCalls);
}

// The floor that the identity benchmark compares with must make exactly the calls of the
// identity call it stands for, export by export.
TEST_F(PerfCounts, IdentityCallScanOfA256KiBRomMakesTheFixedDriverCallsAndTheFloorTheSame) {
    perf::StartProcess(perf::ScanScenario(), nvsim::Scenario{});
    ASSERT_NE(perf::LoadIdentityLibrary(), nullptr);

    hwaxsim::ClearLog();
    const char* szPPID = GetVGAPPID_Num();
    ASSERT_NE(szPPID, nullptr);
    EXPECT_STREQ(szPPID, "SN7X01402221898K3A01");
    EXPECT_EQ(hwaxsim::CallCount("GetBYTEVGAMMIOData"), perf::kScanByteReads);
    EXPECT_EQ(hwaxsim::CallCount("GetDWORDVGAMMIOData"), perf::kScanWindowReads);
    EXPECT_EQ(hwaxsim::CallCount("WriteDWORDVGAMMIOData"), perf::kScanWindowWrites);
    EXPECT_EQ(perf::AccessDriverCalls(), 262185);
    EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));

    hwaxsim::ClearLog();
    perf::ScanFloor();
    EXPECT_EQ(hwaxsim::CallCount("GetBYTEVGAMMIOData"), perf::kScanByteReads);
    EXPECT_EQ(hwaxsim::CallCount("GetDWORDVGAMMIOData"), perf::kScanWindowReads);
    EXPECT_EQ(hwaxsim::CallCount("WriteDWORDVGAMMIOData"), perf::kScanWindowWrites);
    EXPECT_EQ(perf::AccessDriverCalls(), perf::kScanDriverCalls);
    EXPECT_FALSE(hwaxsim::RomSwitchedIn(0));
}

// Discovery inside the load: FindVGAChip; per adapter the two map calls and the configuration
// read; BusTypeAndDataRate; per adapter the ROM probe, which opens the window for the whole
// table (3 calls per adapter on a newer NVIDIA chip), probes the high window once and the low
// window twice, and restores the window for the whole table (3 calls per adapter). So the
// count is 2 + 6n + 6n^2: it grows with the square of the adapter count.
TEST_F(PerfCounts, DiscoveryAccessDriverCallsOfTheLoadFor1And2And8Adapters) {
    const struct {
        int nAdapters;
        int nCalls;
    } kCases[] = {{1, 14}, {2, 38}, {8, 434}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nAdapters);
        perf::StartProcess(perf::DiscoveryScenario(c.nAdapters),
                           perf::DriverApiScenario(c.nAdapters));
        ASSERT_NE(perf::LoadIdentityLibrary(), nullptr);
        EXPECT_EQ(g_VGAInfo.m_nVGACount, c.nAdapters);
        EXPECT_EQ(perf::AccessDriverCalls(), c.nCalls);
        EXPECT_EQ(hwaxsim::CallCount("GetDWORDVGAMMIOData"), c.nAdapters * (4 * c.nAdapters + 3));
        perf::EndProcess();
    }
}

}  // namespace
