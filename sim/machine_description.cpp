// Building, checking and parsing machine descriptions.
#include "sim/machine_description.h"

#include "sim/reference_clock.h"

#include <charconv>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace vornsim {

namespace {

struct KeyRule {
    const char* name;
    bool required;
    uint32_t maximum;
};

constexpr KeyRule kBoardKeys[] = {
    {"model", true, 0xFFFF}, {"bus", true, kBusCount - 1}, {"slot", true, kSlotCount - 1},
    {"irq", true, 15},       {"bridge", false, 0xFFFF},    {"function", false, kFunctionCount - 1},
    {"reference", false, 1},
};

constexpr KeyRule kCardKeys[] = {
    {"vendor", true, 0xFFFF},
    {"device", true, 0xFFFF},
    {"bus", true, kBusCount - 1},
    {"slot", true, kSlotCount - 1},
    {"irq", true, 15},
    {"subvendor", false, 0xFFFF},
    {"subsystem", false, 0xFFFF},
    {"header", false, 0xFF},
    {"function", false, kFunctionCount - 1},
};

bool parseNumber(std::string_view text, uint32_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string hex(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

using Values = std::map<std::string, uint32_t>;

// Reads key=value words against the allowed keys; returns an error text or "".
template <size_t N>
std::string readKeys(std::istringstream& words, const KeyRule (&keys)[N], Values& values) {
    std::string word;
    while (words >> word) {
        auto equals = word.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == word.size())
            return "expected key=value, found '" + word + "'";
        std::string key = word.substr(0, equals);
        const KeyRule* rule = nullptr;
        for (const auto& k : keys)
            if (key == k.name)
                rule = &k;
        if (!rule)
            return "unknown key '" + key + "'";
        if (values.count(key))
            return "key '" + key + "' given twice";
        uint32_t value;
        if (!parseNumber(std::string_view(word).substr(equals + 1), value))
            return "'" + word.substr(equals + 1) + "' is not a number (key '" + key + "')";
        if (value > rule->maximum)
            return key + " " + std::to_string(value) + " out of range 0 to " +
                   std::to_string(rule->maximum);
        values[key] = value;
    }
    for (const auto& k : keys)
        if (k.required && !values.count(k.name))
            return std::string("missing key '") + k.name + "'";
    return {};
}

uint32_t valueOr(const Values& values, const char* key, uint32_t fallback) {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
}

// The reference's offset and rate, which are signed and fractional, taken out of a board
// line's words before the other keys are read; returns an error text or "".
std::string readReferenceKeys(std::istringstream& words, CardDescription& card,
                              std::istringstream& rest) {
    std::string word;
    std::string others;
    bool offsetGiven = false;
    bool ppmGiven = false;
    while (words >> word) {
        const std::string_view text(word);
        if (text.starts_with("reference_offset=")) {
            const std::string_view value = text.substr(17);
            int64_t micros = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), micros);
            if (offsetGiven)
                return "key 'reference_offset' given twice";
            if (value.empty() || ec != std::errc() || end != value.data() + value.size())
                return "'" + std::string(value) + "' is not a number (key 'reference_offset')";
            if (micros < -kMaxReferenceOffsetMicros || micros > kMaxReferenceOffsetMicros)
                return "reference_offset " + std::string(value) + " out of range -" +
                       std::to_string(kMaxReferenceOffsetMicros) + " to " +
                       std::to_string(kMaxReferenceOffsetMicros);
            card.referenceOffsetMicros = micros;
            offsetGiven = true;
        } else if (text.starts_with("reference_ppm=")) {
            if (ppmGiven)
                return "key 'reference_ppm' given twice";
            if (!parsePartsPerMillion(text.substr(14), &card.referencePpb))
                return "'" + std::string(text.substr(14)) +
                       "' is not parts per million from -1000 to 1000 (key 'reference_ppm')";
            ppmGiven = true;
        } else {
            others += word + " ";
        }
    }
    rest.str(others);
    return {};
}

std::string parseBoard(std::istringstream& words, MachineDescription& out) {
    CardDescription reference;
    std::istringstream rest;
    if (auto error = readReferenceKeys(words, reference, rest); !error.empty())
        return error;
    Values v;
    if (auto error = readKeys(rest, kBoardKeys, v); !error.empty())
        return error;
    auto card =
        CardDescription::board(static_cast<uint16_t>(v["model"]), v["bus"], v["slot"], v["irq"],
                               static_cast<uint16_t>(valueOr(v, "bridge", 0x9050)));
    card.function = valueOr(v, "function", 0);
    card.referencePresent = valueOr(v, "reference", 0) != 0;
    card.referenceOffsetMicros = reference.referenceOffsetMicros;
    card.referencePpb = reference.referencePpb;
    out.cards.push_back(card);
    return {};
}

std::string parseCard(std::istringstream& words, MachineDescription& out) {
    Values v;
    if (auto error = readKeys(words, kCardKeys, v); !error.empty())
        return error;
    CardIds ids;
    ids.vendorId = static_cast<uint16_t>(v["vendor"]);
    ids.deviceId = static_cast<uint16_t>(v["device"]);
    ids.subsystemVendorId = static_cast<uint16_t>(valueOr(v, "subvendor", 0));
    ids.subsystemId = static_cast<uint16_t>(valueOr(v, "subsystem", 0));
    ids.headerType = static_cast<uint8_t>(valueOr(v, "header", 0));
    auto card = CardDescription::other(ids, v["bus"], v["slot"], v["irq"]);
    card.function = valueOr(v, "function", 0);
    out.cards.push_back(card);
    return {};
}

std::string parseBus(std::istringstream& words, MachineDescription& out) {
    std::string number, extra;
    uint32_t bus;
    if (!(words >> number))
        return "missing bus number";
    if (words >> extra)
        return "unexpected '" + extra + "' after the bus number";
    if (!parseNumber(number, bus) || bus >= kBusCount)
        return "bus '" + number + "' is not a number from 0 to 15";
    out.extraBuses.push_back(bus);
    return {};
}

std::string checkCard(const CardDescription& card) {
    if (card.bus >= kBusCount || card.slot >= kSlotCount || card.function >= kFunctionCount)
        return "bus, slot or function out of range";
    if (card.irq < 1 || card.irq > 15)
        return "irq " + std::to_string(card.irq) + " out of range 1 to 15";
    if (!card.hasBoard)
        return {};
    if (!isKnownModel(card.ids.subsystemId))
        return "unknown model " + hex(card.ids.subsystemId) +
               " (expected 0x7000, 0x7100, 0x9070 or 0x9072)";
    if (card.ids.deviceId != 0x9030 && card.ids.deviceId != 0x9050)
        return "bridge " + hex(card.ids.deviceId) + " is neither 0x9030 nor 0x9050";
    if (card.referenceOffsetMicros < -kMaxReferenceOffsetMicros ||
        card.referenceOffsetMicros > kMaxReferenceOffsetMicros)
        return "reference offset out of range (a day either way)";
    if (card.referencePpb < -kMaxReferencePpb || card.referencePpb > kMaxReferencePpb)
        return "reference rate out of range (1000 ppm either way)";
    return {};
}

} // namespace

CardDescription CardDescription::board(uint16_t model, unsigned bus, unsigned slot, unsigned irq,
                                       uint16_t bridge) {
    CardDescription card;
    card.bus = bus;
    card.slot = slot;
    card.irq = irq;
    card.ids.deviceId = bridge;
    card.ids.subsystemId = model;
    return card;
}

CardDescription CardDescription::other(const CardIds& ids, unsigned bus, unsigned slot,
                                       unsigned irq) {
    CardDescription card;
    card.bus = bus;
    card.slot = slot;
    card.irq = irq;
    card.ids = ids;
    card.hasBoard = false;
    return card;
}

std::string MachineDescription::validate() const {
    if (cards.size() > kMaxCards)
        return "too many cards (at most " + std::to_string(kMaxCards) + ")";
    for (unsigned bus : extraBuses)
        if (bus >= kBusCount)
            return "bus " + std::to_string(bus) + " out of range 0 to 15";
    std::set<std::tuple<unsigned, unsigned, unsigned>> taken;
    for (size_t i = 0; i < cards.size(); ++i) {
        const auto& card = cards[i];
        std::string where = "card " + std::to_string(i + 1) + ": ";
        if (auto error = checkCard(card); !error.empty())
            return where + error;
        if (!taken.insert({card.bus, card.slot, card.function}).second)
            return where + "bus " + std::to_string(card.bus) + " slot " +
                   std::to_string(card.slot) + " function " + std::to_string(card.function) +
                   " already holds a card";
    }
    return {};
}

ParseResult parseMachineDescription(std::string_view text) {
    ParseResult result;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    size_t cardsBefore = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword))
            continue;
        std::string error;
        if (keyword == "board")
            error = parseBoard(words, result.description);
        else if (keyword == "card")
            error = parseCard(words, result.description);
        else if (keyword == "bus")
            error = parseBus(words, result.description);
        else
            error = "unknown item '" + keyword + "' (expected board, card or bus)";
        // Each new card is checked against those before it, so the error names its line.
        if (error.empty() && result.description.cards.size() != cardsBefore) {
            error = result.description.validate();
            if (auto colon = error.find(": "); colon != std::string::npos)
                error.erase(0, colon + 2);
            cardsBefore = result.description.cards.size();
        }
        if (!error.empty()) {
            result.error = "line " + std::to_string(number) + ": " + error;
            result.description = {};
            return result;
        }
    }
    result.ok = true;
    return result;
}

} // namespace vornsim
