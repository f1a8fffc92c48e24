// The clock controller's memory map: the one place that says where the agent,
// its entries, its parameter block and the transfer buffer lie. The device
// layer writes to these addresses, the agent generator lays out spn.bin from
// them, and the simulated clock checks them; all three take them from here.
//
// Every value is a controller-memory address or a size in bytes. Controller
// memory is a different address space from the clock's storage (the flash
// behind the agent, laid out in storage_layout.h): storage addresses only
// ever reach the controller as arguments in the parameter block.
//
// The values are those of the agent the clock runs: its code was built for
// these addresses, so they are not ours to move. A change here needs an agent
// built for it; tests/common/controller_map_test.cpp pins them so that no
// change goes unnoticed.
#pragma once

#include <cstdint>

namespace velmo {

// The controller's whole memory: 64 KiB, addressed by the library's write,
// read and start calls.
constexpr uint32_t kControllerMemoryBytes = 0x10000;

// The agent's arguments: 12 bytes, three big-endian 32-bit words written
// before an entry is started. Erase takes (storage address, length); program
// takes (storage address, source address in controller memory, count); read
// takes the storage address, then two big-endian 16-bit halves in the second
// word: target address in controller memory and count. The probe takes none.
constexpr uint32_t kParameterBlockAddress = 0x0FF0;
constexpr uint32_t kParameterBlockBytes = 12;

// Where spn.bin is written; the image starts here and grows upwards.
constexpr uint32_t kAgentLoadAddress = 0x2000;

// The agent's four entries, as controller addresses to start. The image's
// entry table holds each one less kAgentLoadAddress (agent_format.h).
constexpr uint32_t kProbeStorageEntry = 0x35C0;  // result value: the storage code
constexpr uint32_t kEraseStorageEntry = 0x35CC;
constexpr uint32_t kProgramBlockEntry = 0x3608;
constexpr uint32_t kReadBlockEntry = 0x3658;

// Block data passes through here in both directions: program copies from it
// to storage, read fills it from storage. Its size is the largest block one
// program or read moves.
constexpr uint32_t kTransferBufferAddress = 0x8000;
constexpr uint32_t kTransferBlockBytes = 4096;
// The storage is erased in sectors of this size, aligned to it.
constexpr uint32_t kStorageSectorBytes = 4096;

// The agent image must end before the transfer buffer: a block written there
// would otherwise overwrite the agent's own code.
constexpr uint32_t kAgentMaxBytes = kTransferBufferAddress - kAgentLoadAddress;

// Loading the agent must not overwrite its own arguments.
static_assert(kParameterBlockAddress + kParameterBlockBytes <= kAgentLoadAddress,
              "the parameter block lies below the agent");
// Each entry is code inside the agent image's room, in table order.
static_assert(kAgentLoadAddress < kProbeStorageEntry && kProbeStorageEntry < kEraseStorageEntry &&
                  kEraseStorageEntry < kProgramBlockEntry && kProgramBlockEntry < kReadBlockEntry &&
                  kReadBlockEntry < kAgentLoadAddress + kAgentMaxBytes,
              "the entries lie inside the agent, in table order");
static_assert(kAgentLoadAddress < kTransferBufferAddress, "the agent lies below the transfer buffer");
static_assert(kTransferBufferAddress + kTransferBlockBytes <= kControllerMemoryBytes,
              "the transfer buffer lies inside controller memory");
// The read entry takes its target and count as 16-bit halves.
static_assert(kTransferBufferAddress <= 0xFFFF && kTransferBlockBytes <= 0xFFFF,
              "the read entry's arguments fit 16 bits");

}  // namespace velmo
