// Capability walk and bus-link decoding of adapter discovery, over arbitrary configuration
// spaces.
//
// Input: one byte (the number of NVIDIA adapters, 1 to 8), then each adapter's 256 bytes of
// PCI configuration space (zeros where the input ends). The identity library is loaded as a
// host loads it, so discovery reads every adapter's configuration space through the
// simulated access driver and walks its capability list. For every adapter:
//   - its copy of the configuration space is byte for byte what the device holds;
//   - bus type, data rate and the two link speed codes are what the capability rules give
//     for that block, worked out here: start at the pointer at 0x34, follow the next-pointers
//     until a PCI Express (0x10) or AGP (0x02) entry, at most 11 hops; a pointer or a register
//     that lies beyond the 256 bytes means no capability;
//   - bus type is one of 0, 1, 2, 4, the rate one the bus type allows, the speeds 0, 1 or 2;
//   - the driver saw only well-formed configuration requests.
// A read past the block lands in the next adapter's copy or in the object's other fields, so
// only the comparison with the worked-out values shows it, not AddressSanitizer.
#include "cardtag_support.h"
#include "hwaxsim.h"

#include <array>

namespace {

constexpr int kCfgSize = 256;
constexpr uint8_t kCapPciExpress = 0x10;
constexpr uint8_t kCapAgp = 0x02;
constexpr int kMaxHops = 11;

struct Link {
    uint32_t nBusType = 0;
    uint32_t nDataRate = 0;
    uint32_t nSpeedMax = 0;
    uint32_t nSpeed = 0;
};

// The offsets the walk visits, in order: the first from 0x34, each next one from the byte
// after the previous entry's ID. The walk ends at the first PCI Express or AGP entry, after
// the eleventh hop, or where a next-pointer would be read from beyond the block.
Link Expected(const std::array<uint8_t, kCfgSize>& cfg) {
    int visited[kMaxHops + 1];
    int nVisited = 0;
    visited[nVisited++] = cfg[0x34];
    int nFound = -1;
    for (;;) {
        int p = visited[nVisited - 1];
        if (cfg[p] == kCapPciExpress || cfg[p] == kCapAgp) {
            nFound = p;
            break;
        }
        if (nVisited == kMaxHops + 1 || p + 1 >= kCfgSize)
            break;
        visited[nVisited++] = cfg[p + 1];
    }

    Link link;
    if (nFound < 0)
        return link;
    const int p = nFound;
    if (cfg[p] == kCapPciExpress && p + 0x13 < kCfgSize) {
        // Link Status at +0x12: speed in bits 0-3, width in bits 4-9; Link Capabilities at
        // +0x0C: the maximum speed in bits 0-3. Only the codes 1 and 2 are taken.
        uint32_t nStatus = cfg[p + 0x12] | cfg[p + 0x13] << 8;
        link.nBusType = 4;
        link.nDataRate = nStatus >> 4 & 0x3F;
        uint32_t nMax = cfg[p + 0x0C] & 7;
        uint32_t nNow = cfg[p + 0x12] & 7;
        link.nSpeedMax = nMax == 1 || nMax == 2 ? nMax : 0;
        link.nSpeed = nNow == 1 || nNow == 2 ? nNow : 0;
    } else if (cfg[p] == kCapAgp && p + 8 < kCfgSize) {
        uint8_t s = cfg[p + 4];
        uint8_t c = cfg[p + 8];
        if (s & 1) {
            link.nBusType = 2;
            link.nDataRate = (c & 7) == 1 ? 4 : (c & 7) == 2 ? 8 : 0;
        } else {
            link.nBusType = 1;
            uint32_t r = s & 7;
            link.nDataRate = r == 1 || r == 2 || r == 4 ? r : 0;
        }
    }
    return link;
}

bool RateAllowed(uint32_t nBusType, uint32_t nRate) {
    switch (nBusType) {
    case 0: return nRate == 0;
    case 1: return nRate == 0 || nRate == 1 || nRate == 2 || nRate == 4;
    case 2: return nRate == 0 || nRate == 4 || nRate == 8;
    case 4: return nRate < 64;
    default: return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::Input in(pData, nSize);
    winstub::Reset();
    fuzz::ResetCardtagLibrary();

    const int nAdapters = 1 + static_cast<int>(in.Pick(kMaxAdapters));
    hwaxsim::Scenario s;
    for (int i = 0; i < nAdapters; ++i) {
        hwaxsim::AdapterConfig a = hwaxsim::NvidiaAdapter(static_cast<uint32_t>(i + 1));
        for (uint8_t& b : a.cfg)
            b = in.U8();
        s.adapters.push_back(a);
    }
    hwaxsim::Configure(s);
    hwaxsim::Install();
    winstub::AddFile(fuzz::CardtagFile());
    HMODULE hCardtag = LoadLibraryA(fuzz::kCardtagPath);
    FUZZ_CHECK(hCardtag != nullptr, "cardtag.dll did not load");
    FUZZ_CHECK(g_VGAInfo.m_nVGACount == nAdapters, "%d adapters found, %d present",
               g_VGAInfo.m_nVGACount, nAdapters);

    for (int i = 0; i < nAdapters; ++i) {
        // Without the driver API library the table keeps the driver's order.
        const std::array<uint8_t, kCfgSize>& cfg = s.adapters[i].cfg;
        FUZZ_CHECK(std::memcmp(g_VGAInfo.m_PciCfg[i], cfg.data(), kCfgSize) == 0,
                   "adapter %d: the copy of the configuration space differs", i);
        const BUS_INFO& bus = g_VGAInfo.m_BusInfo[i];
        Link want = Expected(cfg);
        FUZZ_CHECK(RateAllowed(bus.nBusType, bus.nDataRate), "adapter %d: bus type %u with rate %u",
                   i, bus.nBusType, bus.nDataRate);
        FUZZ_CHECK(g_VGAInfo.m_nLinkSpeedMax[i] <= 2 && g_VGAInfo.m_nLinkSpeed[i] <= 2,
                   "adapter %d: link speed codes %u/%u", i, g_VGAInfo.m_nLinkSpeedMax[i],
                   g_VGAInfo.m_nLinkSpeed[i]);
        FUZZ_CHECK(bus.nBusType == want.nBusType && bus.nDataRate == want.nDataRate &&
                       g_VGAInfo.m_nLinkSpeedMax[i] == want.nSpeedMax &&
                       g_VGAInfo.m_nLinkSpeed[i] == want.nSpeed,
                   "adapter %d: bus %u rate %u speeds %u/%u, want bus %u rate %u speeds %u/%u", i,
                   bus.nBusType, bus.nDataRate, g_VGAInfo.m_nLinkSpeedMax[i],
                   g_VGAInfo.m_nLinkSpeed[i], want.nBusType, want.nDataRate, want.nSpeedMax,
                   want.nSpeed);
    }
    for (const hwaxsim::LogEntry& note : hwaxsim::Notes())
        FUZZ_CHECK(note.sExport != "GetPcicfgAddr", "configuration request refused: %s",
                   note.sText.c_str());

    FreeLibrary(hCardtag);
    fuzz::ResetCardtagLibrary();
    fuzz::EndRun();
    hwaxsim::Configure(hwaxsim::Scenario{});
    return 0;
}
