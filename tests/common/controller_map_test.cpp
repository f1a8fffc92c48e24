#include "controller_map.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace velmo;

namespace {

struct MapRow {
    const char* name;
    uint32_t value;
    uint32_t clocks;  // the value the clock's agent was built for
};

}  // namespace

// The device layer, the agent generator and the simulator all take the map from
// controller_map.h, so a changed value there still passes every test against
// the simulator while the real clock starts its agent at the wrong address.
// This table holds the clock's values apart from the map, to catch exactly that.
TEST(ControllerMap, HoldsTheAddressesTheClocksAgentRunsAt) {
    const MapRow rows[] = {
        {"controller memory bytes", kControllerMemoryBytes, 0x10000},
        {"parameter block", kParameterBlockAddress, 0x0FF0},
        {"parameter block bytes", kParameterBlockBytes, 12},
        {"agent load address", kAgentLoadAddress, 0x2000},
        {"probe entry", kProbeStorageEntry, 0x35C0},
        {"erase entry", kEraseStorageEntry, 0x35CC},
        {"program entry", kProgramBlockEntry, 0x3608},
        {"read entry", kReadBlockEntry, 0x3658},
        {"transfer buffer", kTransferBufferAddress, 0x8000},
        {"transfer block bytes", kTransferBlockBytes, 4096},
        {"largest agent image", kAgentMaxBytes, 0x6000},
    };
    for (const auto& row : rows) EXPECT_EQ(row.value, row.clocks) << row.name;
}
