// Test fixture of the identity library: a fresh process with the simulated access driver
// beside the host, and the library loaded and unloaded as the C runtime does it
// (cardtag_load.h).
#pragma once

#include <gtest/gtest.h>

#include "cardtag_load.h"
#include "hwaxsim.h"

namespace cardtag_test {

inline HMODULE FindDriver() { return winstub::FindLoaded("HWAX.DLL"); }

// Without a load: binds the simulated driver and puts the configured adapters of one vendor
// into the table and the driver's slots, as discovery leaves them, but skips discovery's
// ordering and ROM probe. The ROM placement flags stay clear for the test to set; the
// simulator's log starts empty.
inline void BindAdapters(uint32_t nVendorId) {
    ASSERT_EQ(1, g_VGAInfo.CPortIO::Init());
    g_nVendorId = nVendorId;
    HWAX_ENTRIES& e = g_VGAInfo.m_Entry;
    g_VGAInfo.m_nVGACount = e.FindVGAChip(nVendorId, g_VGAInfo.m_VGAChip, sizeof(g_VGAInfo.m_VGAChip));
    for (int i = 0; i < g_VGAInfo.m_nVGACount && i < kMaxAdapters; ++i) {
        e.GetVGAMMIOAddress(&g_VGAInfo.m_VGAChip[i], i);
        e.GetVGABIOSAddress(nVendorId, &g_VGAInfo.m_VGAChip[i], i);
    }
    hwaxsim::ClearLog();
}

// A fresh process with the simulated access driver installed beside the host. Tests configure
// the machine (hwaxsim::Configure) before loading the library. Whatever a test left loaded is
// unloaded at its end, so the class library's chain and the driver are released.
class CardtagTest : public ::testing::Test {
protected:
    void SetUp() override {
        winstub::Reset();
        hwaxsim::Configure(hwaxsim::Scenario{});
        ResetLibraryState();
        hwaxsim::Install();
    }
    void TearDown() override {
        if (HMODULE h = winstub::FindLoaded(kCardtagPath))
            FreeLibrary(h);
        ResetLibraryState();
        classlib::FailNextExtensionInit(false);
    }
};

}  // namespace cardtag_test
