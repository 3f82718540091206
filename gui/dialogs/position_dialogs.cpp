// The altitude, latitude, longitude and satellite dialogs: board readings, or pseudo-random
// values on the demonstration board.
#include "position_dialogs.h"

#include <cstdio>

namespace vorngui {
namespace {

// Formats into a 16-byte buffer as the dialogs always have; a text that would not fit is cut
// at the buffer's end rather than written past it.
template <typename... Args> std::string boundedText(const char* format, Args... args) {
    char buffer[16] = {};
    const int written = std::snprintf(buffer, sizeof buffer, format, args...);
    if (written < 0) {
        return std::string();
    }
    return std::string(buffer);
}

} // namespace

std::string latitudeText(uint16_t degrees) {
    if (degrees < 180) {
        return boundedText(" %d  (North)", static_cast<int>(degrees));
    }
    return boundedText("-%d  (South)", static_cast<int>(degrees) - 180);
}

std::string longitudeText(uint16_t degrees) {
    if (degrees < 180) {
        return boundedText("%d   East", static_cast<int>(degrees));
    }
    return boundedText("%d   West", static_cast<int>(degrees) - 180);
}

void PositionDialog::onInitDialog(DialogView& view) {
    Dialog::onInitDialog(view);
    if (!retrieve(view)) {
        view.endDialog(DialogResult::Cancel);
    }
}

void PositionDialog::onCommand(DialogView& view, int control) {
    if (control == controls::position::kRetrieve) {
        retrieve(view);
        return;
    }
    Dialog::onCommand(view, control);
}

AltitudeDialog::AltitudeDialog(const Services& services) : PositionDialog(kTemplateId, services) {
    fields().bindFloat(controls::position::kAltitude, m_altitude);
}

bool AltitudeDialog::retrieve(DialogView& view) {
    if (demo()) {
        m_altitude = static_cast<float>(services().random.next() % 100000 + 1);
    } else {
        AltObj record{};
        if (board().getAltitude(boardHandle(), &record) != 0) {
            view.showMessage(kFailed);
            return false;
        }
        m_altitude = record.meters;
    }
    showFields(view);
    return true;
}

ArcDialog::ArcDialog(int templateId, const Services& services)
    : PositionDialog(templateId, services) {
    fields().bindFloat(controls::position::kMinutes, m_minutes);
    fields().bindText(controls::position::kDegrees, m_degreesText);
}

bool ArcDialog::retrieve(DialogView& view) {
    uint16_t degrees = 0;
    float minutes = 0;
    if (demo()) {
        RandomSource& random = services().random;
        if (degreesDrawnFirst()) {
            degrees = static_cast<uint16_t>(random.next() % 999 + 1);
            minutes = static_cast<float>(random.next() % 99 + 1);
        } else {
            minutes = static_cast<float>(random.next() % 99 + 1);
            degrees = static_cast<uint16_t>(random.next() % 999 + 1);
        }
    } else {
        LongLat record{};
        if (readBoard(record) != 0) {
            view.showMessage(failedMessage());
            return false;
        }
        degrees = record.degrees;
        minutes = record.minutes;
    }
    m_degreesText = degreesTextFor(degrees);
    m_minutes = minutes;
    showFields(view);
    return true;
}

uint8_t LatitudeDialog::readBoard(LongLat& record) {
    return board().getLatitude(boardHandle(), &record);
}

uint8_t LongitudeDialog::readBoard(LongLat& record) {
    return board().getLongitude(boardHandle(), &record);
}

SatelliteDialog::SatelliteDialog(const Services& services) : PositionDialog(kTemplateId, services) {
    fields().bindUInt32(controls::position::kSatellites, m_satellites);
}

bool SatelliteDialog::retrieve(DialogView& view) {
    if (demo()) {
        m_satellites = static_cast<uint32_t>(services().random.next() % 9);
    } else {
        SatObj record{};
        if (board().getSatInfo(boardHandle(), &record) != 0) {
            view.showMessage(kFailed);
            return false;
        }
        m_satellites = record.satellites;
    }
    showFields(view);
    return true;
}

} // namespace vorngui
