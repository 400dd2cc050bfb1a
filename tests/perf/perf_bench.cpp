// Benchmarks of what the user waits for, each beside its floor: the cost of the outside calls
// alone. Run them through scripts/bench.sh, which builds them without sanitizers at -O2 and
// prints the medians and ratios as a table (perf_table.py).
//
// Natively the platform underneath is the Win32 stand-in: its GetModuleHandleA and its loader
// are string searches over a few modules, not the Windows cost, so they are timed on their
// own where the client's work is to be told apart from theirs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "alloc_count.h"
#include "exports.h"
#include "nvwrappers.h"
#include "perf_setups.h"
#include "vgainfo.h"
#include "winstub.h"

namespace {

NvPhysicalGpuHandle const kGpu = reinterpret_cast<NvPhysicalGpuHandle>(0x100);

// Called through volatile pointers, so that the compiler cannot inline the trivial functions
// into the direct loops while the client has to call them through its slot.
NvI2CReadExFn volatile g_pfnI2CReadEx = &perf::TrivialI2CReadEx;
NvPreCallHookFn volatile g_pfnPreCallHook = &perf::TrivialPreCallHook;
NvPostCallHookFn volatile g_pfnPostCallHook = &perf::TrivialPostCallHook;

void SetUpClient(benchmark::State& state) {
    if (!perf::BindTrivialDriver(false))
        state.SkipWithError("the trivial driver library did not bind");
}

// Runs batches of a and of b alternately (the order swapped every round) and reports the
// medians of their per-call times and of their ratio per round, so that a change of load on
// the machine between two benchmarks does not show up as a difference between a and b.
template <class A, class B>
void RunPaired(benchmark::State& state, int nBatch, A a, B b) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> aNs, bNs, ratios;
    auto timed = [nBatch](auto& f) {
        const Clock::time_point t0 = Clock::now();
        for (int i = 0; i < nBatch; ++i)
            f();
        return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / nBatch;
    };
    bool bSwap = false;
    for (auto _ : state) {
        double dA, dB;
        if (bSwap) {
            dB = timed(b);
            dA = timed(a);
        } else {
            dA = timed(a);
            dB = timed(b);
        }
        bSwap = !bSwap;
        aNs.push_back(dA);
        bNs.push_back(dB);
        ratios.push_back(dA / dB);
    }
    auto median = [](std::vector<double>& v) {
        if (v.empty())
            return 0.0;
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    std::vector<double> diffs(aNs.size());
    for (size_t i = 0; i < aNs.size(); ++i)
        diffs[i] = aNs[i] - bNs[i];
    state.counters["a_ns"] = median(aNs);
    state.counters["b_ns"] = median(bNs);
    state.counters["diff_ns"] = median(diffs);
    state.counters["ratio"] = median(ratios);
}

// ---- Wrapper fast path --------------------------------------------------------------------

void I2CReadEx_Direct(benchmark::State& state) {
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    for (auto _ : state)
        benchmark::DoNotOptimize(g_pfnI2CReadEx(kGpu, &info, arg3));
}

// The outside calls that one wrapper call makes: the two hooks around the function.
void I2CReadEx_DirectWithHooks(benchmark::State& state) {
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    for (auto _ : state) {
        uint32_t hookContext[2] = {0, 0};
        g_pfnPreCallHook(kNvIdI2CReadEx, hookContext);
        NvAPI_Status status = g_pfnI2CReadEx(kGpu, &info, arg3);
        g_pfnPostCallHook(kNvIdI2CReadEx, hookContext[0], hookContext[1], status);
        benchmark::DoNotOptimize(status);
    }
}

void I2CReadEx_Client(benchmark::State& state) {
    SetUpClient(state);
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    const int nLocks = winstub::LockEntries();
    const uint64_t nAllocations = perf::HeapAllocations();
    for (auto _ : state)
        benchmark::DoNotOptimize(NvAPI_I2CReadEx(kGpu, &info, arg3));
    state.counters["allocs_per_call"] = benchmark::Counter(
        static_cast<double>(perf::HeapAllocations() - nAllocations), benchmark::Counter::kAvgIterations);
    state.counters["locks_per_call"] = benchmark::Counter(
        static_cast<double>(winstub::LockEntries() - nLocks), benchmark::Counter::kAvgIterations);
}

// The one platform call of the fast path, on the stand-in.
void GetModuleHandleA_StandIn(benchmark::State& state) {
    SetUpClient(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(GetModuleHandleA("nvapi.dll"));
}

// The client against a direct call of the entry point.
void Paired_Client_Direct(benchmark::State& state) {
    SetUpClient(state);
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    RunPaired(
        state, 1000, [&] { benchmark::DoNotOptimize(NvAPI_I2CReadEx(kGpu, &info, arg3)); },
        [&] { benchmark::DoNotOptimize(g_pfnI2CReadEx(kGpu, &info, arg3)); });
}

// The client against every outside call it makes: the platform's module lookup, the hooks
// and the entry point. The difference is the client's own work.
void Paired_Client_OutsideCalls(benchmark::State& state) {
    SetUpClient(state);
    NV_I2C_INFO_V3 info{};
    uint32_t arg3[2] = {1, 0};
    RunPaired(
        state, 1000, [&] { benchmark::DoNotOptimize(NvAPI_I2CReadEx(kGpu, &info, arg3)); },
        [&] {
            benchmark::DoNotOptimize(GetModuleHandleA("nvapi.dll"));
            uint32_t hookContext[2] = {0, 0};
            g_pfnPreCallHook(kNvIdI2CReadEx, hookContext);
            NvAPI_Status status = g_pfnI2CReadEx(kGpu, &info, arg3);
            g_pfnPostCallHook(kNvIdI2CReadEx, hookContext[0], hookContext[1], status);
            benchmark::DoNotOptimize(status);
        });
}

// ---- Identity call ------------------------------------------------------------------------

bool SetUpScan(benchmark::State& state) {
    perf::StartProcess(perf::ScanScenario(), nvsim::Scenario{});
    if (perf::LoadIdentityLibrary() == nullptr) {
        state.SkipWithError("cardtag.dll did not load");
        perf::EndProcess();
        return false;
    }
    hwaxsim::ClearLog();
    return true;
}

void ReportScan(benchmark::State& state) {
    const double nCalls = perf::AccessDriverCalls();
    state.counters["driver_calls"] = benchmark::Counter(nCalls, benchmark::Counter::kAvgIterations);
    state.counters["scanned_bytes"] = perf::kScanCandidates;
    perf::EndProcess();
}

void GetVGAPPID_Num_256KiB(benchmark::State& state) {
    if (!SetUpScan(state))
        return;
    for (auto _ : state)
        benchmark::DoNotOptimize(GetVGAPPID_Num());
    ReportScan(state);
}

void GetVGAPPID_Num_256KiB_Floor(benchmark::State& state) {
    if (!SetUpScan(state))
        return;
    for (auto _ : state)
        benchmark::DoNotOptimize(perf::ScanFloor());
    ReportScan(state);
}

void Paired_GetVGAPPID_Num_Floor(benchmark::State& state) {
    if (!SetUpScan(state))
        return;
    RunPaired(
        state, 1, [] { benchmark::DoNotOptimize(GetVGAPPID_Num()); },
        [] { benchmark::DoNotOptimize(perf::ScanFloor()); });
    perf::EndProcess();
}

// ---- Load-time discovery ------------------------------------------------------------------

void LoadWithDiscovery(benchmark::State& state) {
    const int nAdapters = static_cast<int>(state.range(0));
    const hwaxsim::Scenario machine = perf::DiscoveryScenario(nAdapters);
    const nvsim::Scenario driver = perf::DriverApiScenario(nAdapters);
    int64_t nCalls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        perf::StartProcess(machine, driver);
        state.ResumeTiming();
        HMODULE h = perf::LoadIdentityLibrary();
        state.PauseTiming();
        if (h == nullptr) {
            state.SkipWithError("cardtag.dll did not load");
            break;
        }
        nCalls += perf::AccessDriverCalls();
        perf::EndProcess();
        state.ResumeTiming();
    }
    perf::EndProcess();
    state.counters["driver_calls"] =
        benchmark::Counter(static_cast<double>(nCalls), benchmark::Counter::kAvgIterations);
}

// The stand-in's part of a load: HWAX.DLL loaded and its 33 exports looked up, no discovery.
void DriverBinding_StandIn(benchmark::State& state) {
    const hwaxsim::Scenario machine = perf::DiscoveryScenario(1);
    for (auto _ : state) {
        state.PauseTiming();
        perf::StartProcess(machine, nvsim::Scenario{});
        state.ResumeTiming();
        benchmark::DoNotOptimize(g_VGAInfo.CPortIO::Init());
    }
    perf::EndProcess();
}

}  // namespace

BENCHMARK(I2CReadEx_Direct);
BENCHMARK(I2CReadEx_DirectWithHooks);
BENCHMARK(I2CReadEx_Client);
BENCHMARK(GetModuleHandleA_StandIn);
BENCHMARK(GetVGAPPID_Num_256KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(GetVGAPPID_Num_256KiB_Floor)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadWithDiscovery)->Arg(1)->Arg(2)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(DriverBinding_StandIn)->Unit(benchmark::kMicrosecond);
BENCHMARK(Paired_Client_Direct)->Unit(benchmark::kMicrosecond);
BENCHMARK(Paired_Client_OutsideCalls)->Unit(benchmark::kMicrosecond);
BENCHMARK(Paired_GetVGAPPID_Num_Floor)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
