// The commands that read or set one board function.
#include "cli.h"
#include "commands.h"

#include <cstdio>

namespace vornctl {

namespace {

int readOne(Context& c, const char* call, uint8_t (*reader)(BoardHandle, Report&)) {
    const uint8_t result = reader(c.board, c.report);
    return result == VORN_OK ? kExitOk : callFailed(c, call, result);
}

std::optional<int64_t> dayOfYear(Context& c, const std::string& text) {
    return parseInteger(text, 1, 366, "day of year", &c.error);
}

} // namespace

int runStatus(Context& c) {
    const uint16_t model = c.board->modelCode;
    c.report.add("model", modelText(model));
    std::string failed;
    auto read = [&](const char* part, uint8_t (*reader)(BoardHandle, Report&)) {
        const uint8_t result = reader(c.board, c.report);
        if (result != VORN_OK)
            failed +=
                std::string(failed.empty() ? "" : ", ") + part + " (" + resultText(result) + ")";
    };
    read("time", readTime);
    read("date", readDate);
    read("synchronization", readSync);
    read("versions", readVersions);
    if (isGpsModel(model)) {
        read("position", readPosition);
        read("satellites", readSatellites);
    }
    if (failed.empty())
        return kExitOk;
    c.error = "could not read " + failed;
    return kExitFailed;
}

int runTime(Context& c) {
    return readOne(c, "reading the time", readTime);
}

int runDate(Context& c) {
    return readOne(c, "reading the date", readDate);
}

int runSyncStatus(Context& c) {
    return readOne(c, "reading the synchronization status", readSync);
}

int runVersions(Context& c) {
    return readOne(c, "reading the versions", readVersions);
}

int runPosition(Context& c) {
    return readOne(c, "reading the position", readPosition);
}

int runSatellites(Context& c) {
    return readOne(c, "reading the satellites", readSatellites);
}

int runSetTime(Context& c) {
    auto day = dayOfYear(c, c.args.positionals[0]);
    auto clock = day ? parseClockTime(c.args.positionals[1], false, &c.error) : std::nullopt;
    if (!clock)
        return kExitUsage;
    TimeObj time{};
    time.dayOfYear = static_cast<uint16_t>(*day);
    time.hours = static_cast<uint8_t>(clock->hours);
    time.minutes = static_cast<uint8_t>(clock->minutes);
    time.wholeSeconds = static_cast<uint8_t>(clock->seconds);
    const uint8_t result = VORN_setTime(c.board, &time);
    if (result != VORN_OK)
        return callFailed(c, "setting the time", result);
    c.report.add("day_of_year", *day);
    c.report.add("hours", int64_t{clock->hours});
    c.report.add("minutes", int64_t{clock->minutes});
    c.report.add("seconds", int64_t{time.wholeSeconds});
    return kExitOk;
}

int runSetYear(Context& c) {
    auto year = parseInteger(c.args.positionals[0], 1, 9999, "year", &c.error);
    if (!year)
        return kExitUsage;
    uint16_t value = static_cast<uint16_t>(*year);
    const uint8_t result = VORN_setYear(c.board, &value);
    if (result != VORN_OK)
        return callFailed(c, "setting the year", result);
    c.report.add("year", *year);
    return kExitOk;
}

int runHeartbeat(Context& c) {
    auto frequency = parseNumber(c.args.positionals[0], 0, 10000, false, "frequency", &c.error);
    if (!frequency)
        return kExitUsage;
    const bool square = c.args.flags.count("--square") != 0;
    const bool nextSecond = c.args.flags.count("--next-second") != 0;
    const uint16_t model = c.board->modelCode;
    const bool fixedProgramme = model == 0x7000 || model == 0x7100;
    if (fixedProgramme && (square || c.args.flags.count("--immediately") != 0)) {
        c.error = "a board of model " + modelText(model) +
                  " gives only a pulse starting at the next whole second";
        return kExitFailed;
    }
    HeartObj heartbeat{};
    heartbeat.start = fixedProgramme || nextSecond ? 0 : 1;
    heartbeat.mode = fixedProgramme ? 4 : (square ? 0xE7 : 0xE5);
    heartbeat.frequency = *frequency;
    const uint8_t result = VORN_setHeartbeat(c.board, &heartbeat);
    if (result == VORN_ERR_RANGE) {
        c.error = "the board cannot make " + c.args.positionals[0] +
                  " Hz: 10000 Hz divided by a whole number from 1 to 65535 is needed";
        return kExitFailed;
    }
    if (result != VORN_OK)
        return callFailed(c, "setting the heartbeat", result);
    c.report.add("frequency_hz", Decimal{*frequency, 6});
    c.report.add("mode", std::string(square ? "square" : "pulse"));
    c.report.add("start", std::string(heartbeat.start ? "immediately" : "next-second"));
    return kExitOk;
}

int runMatch(Context& c) {
    auto day = dayOfYear(c, c.args.positionals[0]);
    auto clock = day ? parseClockTime(c.args.positionals[1], true, &c.error) : std::nullopt;
    if (!clock)
        return kExitUsage;
    MatchObj match{};
    match.type = c.args.flags.count("--stop") != 0 ? 1 : 0;
    match.dayOfYear = static_cast<uint16_t>(*day);
    match.hours = static_cast<uint8_t>(clock->hours);
    match.minutes = static_cast<uint8_t>(clock->minutes);
    match.seconds = clock->seconds;
    const uint8_t result = VORN_setMatchTime(c.board, &match);
    if (result != VORN_OK)
        return callFailed(c, "setting the match time", result);
    c.report.add("type", std::string(match.type ? "stop" : "start"));
    c.report.add("day_of_year", *day);
    c.report.add("hours", int64_t{clock->hours});
    c.report.add("minutes", int64_t{clock->minutes});
    c.report.add("seconds", Decimal{clock->seconds, 6});
    return kExitOk;
}

int runSync(Context& c) {
    const std::string& mode = c.args.positionals[0];
    if (mode != "synchronize" && mode != "freewheel")
        return badInput(c, "mode must be synchronize or freewheel, not '" + mode + "'");
    uint8_t control = mode == "synchronize" ? 1 : 0;
    const uint8_t result = VORN_synchControl(c.board, &control);
    if (result != VORN_OK)
        return callFailed(c, "setting the synchronization mode", result);
    char ack[8];
    std::snprintf(ack, sizeof ack, "0x%02X", unsigned{control});
    c.report.add("mode", mode);
    c.report.add("acknowledgement", std::string(ack));
    return kExitOk;
}

int runPropDelay(Context& c) {
    auto micros =
        parseInteger(c.args.positionals[0], -5000, 4999, "propagation delay (us)", &c.error);
    if (!micros)
        return kExitUsage;
    int32_t value = static_cast<int32_t>(*micros);
    const uint8_t result = VORN_setPropDelayCorr(c.board, &value);
    if (result != VORN_OK)
        return callFailed(c, "setting the propagation delay", result);
    c.report.add("propagation_delay_us", *micros);
    return kExitOk;
}

} // namespace vornctl
