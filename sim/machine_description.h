// A small description of the simulated machine (which cards sit in which bus and slot, with
// which interrupt), built in code or parsed from a text form of one card per line.
#pragma once

#include "sim/pci_card.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornsim {

constexpr unsigned kBusCount = 16;
constexpr unsigned kSlotCount = 32;
constexpr unsigned kFunctionCount = 8;
constexpr unsigned kMaxCards = 32;

struct CardDescription {
    unsigned bus = 0;
    unsigned slot = 0;
    unsigned function = 0;
    unsigned irq = 0; // 1 to 15
    CardIds ids;
    bool hasBoard = true; // a timing board behind the bridge, of model ids.subsystemId
    bool referencePresent = false;
    // The board's reference against this machine's clock (see ReferenceClock).
    int64_t referenceOffsetMicros = 0; // true − system at start-up
    int64_t referencePpb = 0;          // parts per billion the reference runs fast

    // A timing board: bridge 0x9030 or 0x9050, subsystem vendor 0x1347, subsystem id = model.
    static CardDescription board(uint16_t model, unsigned bus, unsigned slot, unsigned irq,
                                 uint16_t bridge = 0x9050);
    // Any other card, with nothing behind its bridge.
    static CardDescription other(const CardIds& ids, unsigned bus, unsigned slot, unsigned irq);
};

struct MachineDescription {
    std::vector<unsigned> extraBuses; // buses that exist without a card (bus 0 always exists)
    std::vector<CardDescription> cards;

    // Empty when the description can be built; otherwise what is wrong with it.
    std::string validate() const;
};

struct ParseResult {
    bool ok = false;
    MachineDescription description;
    std::string error; // "line N: what is wrong" when !ok
};

// Text form, one item per line, '#' starts a comment, numbers decimal or 0x hexadecimal:
//   board model=0x9070 bus=0 slot=3 irq=11 [bridge=0x9050] [function=0] [reference=1]
//         [reference_offset=US] [reference_ppm=P]
//   (US: true − system in microseconds, signed; P: parts per million the reference runs fast,
//   signed, to three decimals)
//   card vendor=0x8086 device=0x1229 bus=0 slot=4 irq=10 [subvendor=0] [subsystem=0]
//        [header=0] [function=0]
//   bus 2
ParseResult parseMachineDescription(std::string_view text);

} // namespace vornsim
