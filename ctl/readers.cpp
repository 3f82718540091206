// Reading the board's time, date, synchronization, versions and GPS position into a report.
#include "commands.h"

#include <cstdio>

namespace vornctl {

namespace {

std::string clockText(int hours, int minutes, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%09.6f", hours, minutes, seconds);
    return text;
}

// Version bytes up to the first zero, with bytes that are not printable shown in hexadecimal.
std::string versionText(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && bytes[i] != 0; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
            text += static_cast<char>(bytes[i]);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", bytes[i]);
            text += hex;
        }
    }
    return text;
}

void addAngle(Report& report, const std::string& name, const LongLat& angle, const char* positive,
              const char* negative) {
    const bool other = angle.degrees >= 180;
    report.add(name + "_degrees", int64_t{other ? angle.degrees - 180 : angle.degrees});
    report.add(name + "_minutes", Decimal{angle.minutes, 4});
    report.add(name + "_hemisphere", std::string(other ? negative : positive));
}

} // namespace

uint8_t readTime(BoardHandle board, Report& report) {
    TimeObj time{};
    const uint8_t result = VORN_getTime(board, &time);
    if (result != VORN_OK)
        return result;
    report.add("day_of_year", int64_t{time.dayOfYear});
    report.add("time", clockText(time.hours, time.minutes, time.seconds));
    report.add("hours", int64_t{time.hours});
    report.add("minutes", int64_t{time.minutes});
    report.add("seconds", Decimal{time.seconds, 6});
    return VORN_OK;
}

uint8_t readDate(BoardHandle board, Report& report) {
    DateObj date{};
    const uint8_t result = VORN_getDate(board, &date);
    if (result != VORN_OK)
        return result;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{date.year}, unsigned{date.month},
                  unsigned{date.day});
    report.add("date", std::string(text));
    report.add("year", int64_t{date.year});
    report.add("month", int64_t{date.month});
    report.add("day", int64_t{date.day});
    return VORN_OK;
}

uint8_t readSync(BoardHandle board, Report& report) {
    uint8_t status = 0;
    const uint8_t result = VORN_synchStatus(board, &status);
    if (result == VORN_OK)
        report.add("synchronized", status != 0);
    return result;
}

uint8_t readVersions(BoardHandle board, Report& report) {
    uint8_t firmware[10] = {};
    uint8_t fpga[10] = {};
    char driver[12] = {};
    uint8_t result = VORN_getFirmware(board, firmware);
    if (result == VORN_OK)
        result = VORN_getFPGA(board, fpga);
    if (result == VORN_OK)
        result = VORN_getDriver(board, driver);
    if (result != VORN_OK)
        return result;
    char fpgaText[16];
    std::snprintf(fpgaText, sizeof fpgaText, "%u.%u", unsigned{fpga[0]}, unsigned{fpga[1]});
    report.add("firmware_version", versionText(firmware, 4));
    report.add("fpga_version", std::string(fpgaText));
    report.add("driver_version", std::string(driver));
    return VORN_OK;
}

uint8_t readPosition(BoardHandle board, Report& report) {
    AltObj altitude{};
    LongLat latitude{};
    LongLat longitude{};
    uint8_t result = VORN_getAltitude(board, &altitude);
    if (result == VORN_OK)
        result = VORN_getLatitude(board, &latitude);
    if (result == VORN_OK)
        result = VORN_getLongitude(board, &longitude);
    if (result != VORN_OK)
        return result;
    report.add("altitude_m", Decimal{altitude.meters, 1});
    addAngle(report, "latitude", latitude, "N", "S");
    addAngle(report, "longitude", longitude, "E", "W");
    return VORN_OK;
}

uint8_t readSatellites(BoardHandle board, Report& report) {
    SatObj satellites{};
    const uint8_t result = VORN_getSatInfo(board, &satellites);
    if (result == VORN_OK)
        report.add("satellites", int64_t{satellites.satellites});
    return result;
}

bool isGpsModel(uint16_t model) {
    return model == 0x9070 || model == 0x9072;
}

std::string modelText(uint16_t model) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", unsigned{model});
    return text;
}

} // namespace vornctl
