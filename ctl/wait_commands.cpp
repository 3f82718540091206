// The waits, the event FIFO, and the simulated board's controls.
#include "cli.h"
#include "commands.h"
#include "vorn_sim.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace vornctl {

namespace {

constexpr uint32_t kDefaultTimeoutMs = 1000;

std::optional<uint32_t> timeoutOf(Context& c) {
    auto it = c.args.values.find("--timeout");
    if (it == c.args.values.end())
        return kDefaultTimeoutMs;
    auto value = parseInteger(it->second, 0, std::numeric_limits<uint32_t>::max(), "time-out (ms)",
                              &c.error);
    return value ? std::optional<uint32_t>(static_cast<uint32_t>(*value)) : std::nullopt;
}

int waitOutcome(Context& c, uint8_t result, const char* what, uint32_t timeoutMs) {
    if (result == VORN_WAIT_TIMEOUT) {
        c.error = std::string("no ") + what + " within " + std::to_string(timeoutMs) + " ms";
        return kExitTimeout;
    }
    if (result == VORN_WAIT_NOT_STARTED) {
        c.error = std::string("could not wait for ") + what +
                  " (another wait of that kind may be pending on the board)";
        return kExitNotStarted;
    }
    return kExitOk;
}

int waitFor(Context& c, uint8_t (*wait)(BoardHandle, uint32_t*), const char* what,
            const char* key) {
    auto timeout = timeoutOf(c);
    if (!timeout)
        return kExitUsage;
    uint32_t value = *timeout;
    const int exit = waitOutcome(c, wait(c.board, &value), what, *timeout);
    if (exit == kExitOk)
        c.report.add(key, true);
    return exit;
}

// Signed decimal degrees as the board's degrees (180 added for south or west) and minutes of
// arc times 10,000.
void toBoardAngle(double degrees, uint16_t* boardDegrees, uint32_t* boardMinutes) {
    const double magnitude = std::fabs(degrees);
    auto whole = static_cast<uint32_t>(magnitude);
    auto minutes = static_cast<uint32_t>(std::lround((magnitude - whole) * 60 * 10000));
    if (minutes >= 600000) {
        minutes -= 600000;
        ++whole;
    }
    *boardDegrees = static_cast<uint16_t>(whole + (degrees < 0 ? 180 : 0));
    *boardMinutes = minutes;
}

// Events at one instant: up to 1,000. Paced ones: up to a million, 1 us to a minute apart.
int simEvents(Context& c) {
    const auto interval = c.args.values.find("--interval-us");
    const bool paced = interval != c.args.values.end();
    int64_t intervalMicros = 0;
    if (paced) {
        auto parsed =
            parseInteger(interval->second, 1, 60'000'000, "event interval (us)", &c.error);
        if (!parsed)
            return kExitUsage;
        intervalMicros = *parsed;
    }
    int64_t count = 1;
    if (auto it = c.args.values.find("--count"); it != c.args.values.end()) {
        auto parsed =
            parseInteger(it->second, 1, paced ? 1'000'000 : 1000, "event count", &c.error);
        if (!parsed)
            return kExitUsage;
        count = *parsed;
    }
    const uint8_t result =
        paced ? VORN_simStrobeEvery(c.board, uint32_t(count), uint32_t(intervalMicros))
              : VORN_simStrobe(c.board, static_cast<uint32_t>(count));
    if (result != VORN_OK)
        return callFailed(c, "strobing the external event", result);
    c.report.add("events", count);
    if (paced)
        c.report.add("interval_us", intervalMicros);
    return kExitOk;
}

// The simulated reference stands off this machine's clock by at most a day either way.
constexpr int64_t kMaxReferenceOffsetMicros = 86'400'000'000;

// The reference's offset or rate against this machine's clock.
int simReferenceClock(Context& c) {
    const std::string& what = c.args.positionals[1];
    const std::string& value = c.args.positionals[2];
    uint8_t result = VORN_OK;
    if (what == "offset") {
        auto micros = parseInteger(value, -kMaxReferenceOffsetMicros, kMaxReferenceOffsetMicros,
                                   "reference offset (us)", &c.error);
        if (!micros)
            return kExitUsage;
        result = VORN_simReferenceOffset(c.board, *micros);
        if (result == VORN_OK)
            c.report.add("reference_offset_us", *micros);
    } else {
        auto ppm = parseNumber(value, -1000, 1000, false, "reference rate (ppm)", &c.error);
        if (!ppm)
            return kExitUsage;
        result = VORN_simReferenceRate(c.board, *ppm);
        if (result == VORN_OK)
            c.report.add("reference_ppm", Decimal{*ppm, 3});
    }
    return result == VORN_OK ? kExitOk : callFailed(c, "changing the reference", result);
}

int simReference(Context& c) {
    const auto& p = c.args.positionals;
    if (p.size() == 3 && (p[1] == "offset" || p[1] == "ppm"))
        return simReferenceClock(c);
    if (p.size() != 2 || (p[1] != "present" && p[1] != "found" && p[1] != "lost"))
        return badInput(c, "sim reference takes present|found, lost, offset MICROSECONDS or "
                           "ppm PARTS_PER_MILLION");
    const bool present = p[1] != "lost";
    const uint8_t result = VORN_simReference(c.board, present ? 1 : 0);
    if (result != VORN_OK)
        return callFailed(c, "changing the reference", result);
    c.report.add("reference_present", present);
    return kExitOk;
}

std::optional<double> valueOf(Context& c, const char* option, double min, double max,
                              bool maxExcluded, const char* what) {
    auto it = c.args.values.find(option);
    if (it == c.args.values.end()) {
        c.error = std::string("sim gps needs ") + option;
        return std::nullopt;
    }
    return parseNumber(it->second, min, max, maxExcluded, what, &c.error);
}

int simGps(Context& c) {
    if (c.args.values.count("--altitude") == 0)
        c.args.values["--altitude"] = "0";
    if (c.args.values.count("--satellites") == 0)
        c.args.values["--satellites"] = "0";
    auto latitude = valueOf(c, "--latitude", -90, 90, false, "latitude (degrees)");
    auto longitude =
        latitude ? valueOf(c, "--longitude", -180, 180, true, "longitude (degrees)") : std::nullopt;
    auto altitude =
        longitude ? valueOf(c, "--altitude", 0, 999999.9, false, "altitude (m)") : std::nullopt;
    auto satellites =
        altitude ? parseInteger(c.args.values["--satellites"], 0, 15, "satellites", &c.error)
                 : std::nullopt;
    if (!satellites)
        return kExitUsage;
    VornGpsScenario scenario{};
    toBoardAngle(*latitude, &scenario.latitudeDegrees, &scenario.latitudeMinutes);
    toBoardAngle(*longitude, &scenario.longitudeDegrees, &scenario.longitudeMinutes);
    scenario.altitudeDecimetres = static_cast<uint32_t>(std::lround(*altitude * 10));
    scenario.satellites = static_cast<uint8_t>(*satellites);
    const uint8_t result = VORN_simGps(c.board, &scenario);
    if (result != VORN_OK)
        return callFailed(c, "setting the GPS scenario", result);
    c.report.add("latitude", Decimal{*latitude, 6});
    c.report.add("longitude", Decimal{*longitude, 6});
    c.report.add("altitude_m", Decimal{*altitude, 1});
    c.report.add("satellites", *satellites);
    return kExitOk;
}

} // namespace

int runWaitEvent(Context& c) {
    auto timeout = timeoutOf(c);
    if (!timeout)
        return kExitUsage;
    EventObj event{};
    event.timeoutMs = *timeout;
    const int exit = waitOutcome(c, VORN_waitEvent(c.board, &event), "event", *timeout);
    if (exit != kExitOk)
        return exit;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%09.6f", unsigned{event.hours},
                  unsigned{event.minutes}, event.seconds);
    c.report.add("day_of_year", int64_t{event.dayOfYear});
    c.report.add("time", std::string(text));
    c.report.add("hours", int64_t{event.hours});
    c.report.add("minutes", int64_t{event.minutes});
    c.report.add("seconds", Decimal{event.seconds, 6});
    return kExitOk;
}

int runWaitHeartbeat(Context& c) {
    return waitFor(c, VORN_waitHeartbeat, "heartbeat", "heartbeat");
}

int runWaitMatch(Context& c) {
    return waitFor(c, VORN_waitMatch, "match", "match");
}

int runFlush(Context& c) {
    const uint8_t result = VORN_flushFIFO(c.board);
    if (result != VORN_OK)
        return callFailed(c, "flushing the event FIFO", result);
    c.report.add("flushed", true);
    return kExitOk;
}

int runSimEvent(Context& c) {
    const uint8_t result = VORN_simEvent(c.board);
    if (result != VORN_OK)
        return callFailed(c, "simulating a time-tag event", result);
    c.report.add("simulated", true);
    return kExitOk;
}

int runSim(Context& c) {
    const std::string& what = c.args.positionals[0];
    const bool gpsOptions = c.args.values.count("--latitude") + c.args.values.count("--longitude") +
                                c.args.values.count("--altitude") +
                                c.args.values.count("--satellites") !=
                            0;
    if (what == "event" && !gpsOptions && c.args.positionals.size() == 1)
        return simEvents(c);
    if (what == "reference" && !gpsOptions && c.args.values.count("--count") == 0)
        return simReference(c);
    if (what == "gps" && c.args.values.count("--count") == 0 && c.args.positionals.size() == 1)
        return simGps(c);
    return badInput(c, "sim takes: event [--count N] | reference present|found|lost | "
                       "reference offset US | reference ppm P | gps --latitude DEG --longitude "
                       "DEG [--altitude M] [--satellites N]");
}

} // namespace vornctl
