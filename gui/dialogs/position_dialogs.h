// The four read-only GPS dialogs: altitude, latitude, longitude and satellites tracked. Each reads
// once as it opens (a failed read closes it before it is shown) and again on "Retrieve".
#pragma once

#include "dialog.h"
#include "resource_ids.h"

#include <cstdint>
#include <string>

namespace vorngui {

// Degrees as the board gives them: below 180 north or east, 180 and above south or west of
// (value - 180). The texts are the ones the dialogs show, never longer than 15 characters.
std::string latitudeText(uint16_t degrees);
std::string longitudeText(uint16_t degrees);

// Shared by the four: reading at opening and on "Retrieve" (1004); "Cancel" (1005) and Enter
// take the accept path.
class PositionDialog : public Dialog {
public:
    using Dialog::Dialog;
    void onInitDialog(DialogView& view) override;
    void onCommand(DialogView& view, int control) override;

protected:
    // Reads the board (or draws demonstration values) and shows them; on failure shows the
    // dialog's message, leaves the values as they were and returns false.
    virtual bool retrieve(DialogView& view) = 0;
};

class AltitudeDialog : public PositionDialog {
public:
    static constexpr int kTemplateId = templates::kAltitude;
    static constexpr const char* kFailed = "Could not retrieve Altitude information!!";

    explicit AltitudeDialog(const Services& services);
    float altitude() const { return m_altitude; }

protected:
    bool retrieve(DialogView& view) override;

private:
    float m_altitude = 0;
};

// Latitude and longitude: minutes of arc (edit 1001) and the degrees text (edit 1023).
class ArcDialog : public PositionDialog {
public:
    ArcDialog(int templateId, const Services& services);
    float minutes() const { return m_minutes; }
    const std::string& degreesText() const { return m_degreesText; }

protected:
    bool retrieve(DialogView& view) override;
    // The board call and its failure message; the order of the demonstration draws; the text.
    virtual uint8_t readBoard(LongLat& record) = 0;
    virtual const char* failedMessage() const = 0;
    virtual bool degreesDrawnFirst() const = 0;
    virtual std::string degreesTextFor(uint16_t degrees) const = 0;

private:
    float m_minutes = 0;
    std::string m_degreesText;
};

class LatitudeDialog : public ArcDialog {
public:
    static constexpr int kTemplateId = templates::kLatitude;
    static constexpr const char* kFailed = "Could not receive Latitude Information!!";

    explicit LatitudeDialog(const Services& services) : ArcDialog(kTemplateId, services) {}

protected:
    uint8_t readBoard(LongLat& record) override;
    const char* failedMessage() const override { return kFailed; }
    bool degreesDrawnFirst() const override { return true; }
    std::string degreesTextFor(uint16_t degrees) const override { return latitudeText(degrees); }
};

class LongitudeDialog : public ArcDialog {
public:
    static constexpr int kTemplateId = templates::kLongitude;
    static constexpr const char* kFailed = "Could not retrieve Longitude information!!";

    explicit LongitudeDialog(const Services& services) : ArcDialog(kTemplateId, services) {}

protected:
    uint8_t readBoard(LongLat& record) override;
    const char* failedMessage() const override { return kFailed; }
    bool degreesDrawnFirst() const override { return false; }
    std::string degreesTextFor(uint16_t degrees) const override { return longitudeText(degrees); }
};

class SatelliteDialog : public PositionDialog {
public:
    static constexpr int kTemplateId = templates::kSatellite;
    static constexpr const char* kFailed = "Could not retrieve Satellite info from board!!";

    explicit SatelliteDialog(const Services& services);
    uint32_t satellites() const { return m_satellites; }

protected:
    bool retrieve(DialogView& view) override;

private:
    uint32_t m_satellites = 0;
};

} // namespace vorngui
